-- rpt_user_activity.sql: user activity marts from the event stage (MySQL 8.0)
-- run: mysql --batch < rpt_user_activity.sql
USE stg;
CREATE TABLE IF NOT EXISTS events (id BIGINT PRIMARY KEY, user_id INT, kind VARCHAR(20), amount DECIMAL(10,2), created_at DATETIME);
CREATE TABLE IF NOT EXISTS users (user_id INT PRIMARY KEY, email VARCHAR(200), plan VARCHAR(10));

USE rpt;
CREATE TABLE IF NOT EXISTS users (user_id INT PRIMARY KEY, email VARCHAR(200), plan VARCHAR(10), first_seen DATETIME);
CREATE TABLE IF NOT EXISTS user_last_event (user_id INT, last_kind VARCHAR(20), last_at DATETIME, running_amount DECIMAL(12,2), prev_at DATETIME);
CREATE TABLE IF NOT EXISTS plan_summary (plan VARCHAR(10), users_n INT, amount DECIMAL(14,2));
CREATE TABLE IF NOT EXISTS purge_log (purged_at DATETIME, n INT, note VARCHAR(40));

-- 1. new users: the same column names on both sides
INSERT INTO users (user_id, email, plan, first_seen)
SELECT user_id, email, plan, NOW()
  FROM stg.users
 WHERE user_id NOT IN (SELECT user_id FROM users);

-- 2. latest event per user, three derived tables deep
INSERT INTO user_last_event
SELECT d3.uid, d3.k, d3.t, d3.run_amt, d3.prev_t
  FROM (SELECT d2.*, ROW_NUMBER() OVER (PARTITION BY d2.uid ORDER BY d2.t DESC) AS rn
          FROM (SELECT d1.uid, d1.k, d1.t,
                       SUM(d1.amt) OVER (PARTITION BY d1.uid ORDER BY d1.t) AS run_amt,
                       LAG(d1.t) OVER (PARTITION BY d1.uid ORDER BY d1.t) AS prev_t
                  FROM (SELECT user_id AS uid, kind AS k, created_at AS t, amount AS amt
                          FROM stg.events WHERE kind <> 'test') AS d1) AS d2) AS d3
 WHERE d3.rn = 1;

-- 3. plans, from derived tables: `plan` only in the first one
INSERT INTO plan_summary (plan, users_n, amount)
SELECT plan, COUNT(DISTINCT u.user_id), SUM(amt)
  FROM (SELECT * FROM stg.users) AS u
  JOIN (SELECT user_id AS uid, amount AS amt FROM stg.events) AS e ON e.uid = u.user_id
 GROUP BY plan;

-- 4. a CTE named like the report table: it hides rpt.users here
INSERT INTO plan_summary
WITH users AS (SELECT su.plan, su.user_id FROM stg.users su WHERE su.plan IS NOT NULL)
SELECT users.plan, COUNT(DISTINCT users.user_id), SUM(e.amount)
  FROM users JOIN stg.events e ON e.user_id = users.user_id
 GROUP BY users.plan;

-- 5. housekeeping procedure of the stage database
DELIMITER //
CREATE PROCEDURE stg.purge_test_events(IN p_before DATE)
BEGIN
  DECLARE v_n INT DEFAULT 0;
  SELECT COUNT(*) INTO v_n FROM events WHERE kind = 'test' AND created_at < p_before;
  INSERT INTO rpt.purge_log (purged_at, n, note) VALUES (NOW(), v_n, CONCAT('before ', p_before));
  INSERT INTO rpt.users (user_id, email, plan)
  SELECT user_id, email, plan FROM users WHERE plan = 'trial'
  ON DUPLICATE KEY UPDATE plan = VALUES(plan);
  DELETE FROM events WHERE kind = 'test' AND created_at < p_before;
END//
DELIMITER ;

CALL stg.purge_test_events(CURDATE() - INTERVAL 30 DAY);

-- 6. back in rpt: unqualified tables are rpt's again
INSERT INTO purge_log (purged_at, n, note)
SELECT MAX(ule.last_at), COUNT(*), 'users with events'
  FROM user_last_event ule JOIN users USING (user_id);
