-- ops_job_queue.sql: the job queue's routines and housekeeping events.
-- Applied by the deploy job: mysql --batch ops < ops_job_queue.sql
CREATE DATABASE IF NOT EXISTS ops;
USE ops;

CREATE TABLE IF NOT EXISTS jobs (
  id BIGINT PRIMARY KEY, kind VARCHAR(20) NOT NULL, payload JSON, state VARCHAR(10) NOT NULL,
  attempts INT NOT NULL DEFAULT 0, locked_by VARCHAR(64), updated_at DATETIME
);
CREATE TABLE IF NOT EXISTS job_log (job_id BIGINT, note VARCHAR(200), logged_at DATETIME);
CREATE TABLE IF NOT EXISTS job_stats (kind VARCHAR(20) PRIMARY KEY, done INT, failed INT, refreshed_at DATETIME);

delimiter //
DROP PROCEDURE IF EXISTS claim_job//
CREATE DEFINER=CURRENT_USER PROCEDURE claim_job(IN p_worker VARCHAR(64), OUT p_job BIGINT)
BEGIN
  /* claim the oldest job nobody holds; don't wait for locked rows // END */
  SELECT j.id INTO p_job
    FROM jobs j
   WHERE j.state = 'queued'
   ORDER BY j.id
   LIMIT 1
     FOR UPDATE SKIP LOCKED;
  # the worker's name goes in as it is; it's checked by the caller // END
  UPDATE jobs SET state = 'running', locked_by = p_worker, updated_at = NOW(), attempts = attempts + 1 WHERE id = p_job;
  -- a note that can't be mistaken for the end: ' */ // '
  INSERT INTO job_log (job_id, note, logged_at)
  VALUES (p_job, CONCAT('claimed by ', p_worker, ' */ //; can''t stop here'), NOW());
END//
Delimiter ;

DELIMITER ||
CREATE FUNCTION job_label(p_id BIGINT) RETURNS VARCHAR(200)
    READS SQL DATA
BEGIN
  DECLARE v_label VARCHAR(200);
  SELECT CONCAT(j.kind, '||', j.state, "||", j.attempts) AS label INTO v_label FROM jobs j WHERE j.id = p_id;
  RETURN v_label;
END||

CREATE PROCEDURE finish_job(IN p_job BIGINT, IN p_ok BOOLEAN)
BEGIN
  UPDATE jobs j
     SET j.state = IF(p_ok, 'done', IF(j.attempts >= 5, 'failed', 'queued')),
         j.locked_by = NULL,
         j.updated_at = NOW()
   WHERE j.id = p_job;
  INSERT INTO job_log (job_id, note, logged_at)
  SELECT j.id, CONCAT(j.kind, '||', j.state), j.updated_at FROM jobs j WHERE j.id = p_job;
END||

CREATE EVENT IF NOT EXISTS ev_requeue
  ON SCHEDULE AT CURRENT_TIMESTAMP + INTERVAL 1 HOUR
  ON COMPLETION PRESERVE
  DO UPDATE jobs SET state = 'queued', locked_by = NULL
      WHERE state = 'running' AND updated_at < NOW() - INTERVAL 30 MINUTE||

-- from the second release on, the requeue runs every quarter hour and logs first
ALTER EVENT ev_requeue
  ON SCHEDULE EVERY 15 MINUTE
  DO BEGIN
    INSERT INTO job_log (job_id, note, logged_at)
    SELECT j.id, CONCAT('requeued after ', j.attempts, ' attempts'), NOW()
      FROM jobs j WHERE j.state = 'running' AND j.updated_at < NOW() - INTERVAL 30 MINUTE;
    UPDATE jobs SET state = 'queued', locked_by = j_owner()
     WHERE state = 'running' AND updated_at < NOW() - INTERVAL 30 MINUTE;
  END||
DELIMITER ;

ALTER EVENT ev_requeue DISABLE;

delimiter $$
CREATE FUNCTION j_owner() RETURNS VARCHAR(64) NO SQL RETURN CONCAT('requeue@', @@hostname)$$
delimiter ;

-- stats per kind; REPLACE takes a WITH between its table and its SELECT
REPLACE INTO job_stats (kind, done, failed, refreshed_at)
WITH per_kind AS (
  SELECT j.kind, SUM(j.state = 'done') AS done, SUM(j.state = 'failed') AS failed FROM jobs j GROUP BY j.kind
)
SELECT pk.kind, pk.done, pk.failed, NOW() FROM per_kind pk;

SELECT job_label(j.id) AS label, j.payload->>'$.customer' AS customer FROM jobs j WHERE j.state = 'failed';
