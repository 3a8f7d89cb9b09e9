-- inventory_routines.sql: stock maintenance routines, deployed with
--   mysql --database=inventory < inventory_routines.sql
CREATE DATABASE IF NOT EXISTS inventory;
CREATE DATABASE IF NOT EXISTS ops;
USE inventory;

CREATE TABLE IF NOT EXISTS stock (sku VARCHAR(20) PRIMARY KEY, warehouse_id INT, on_hand INT, reserved INT, updated_at DATETIME);
CREATE TABLE IF NOT EXISTS movements (id BIGINT AUTO_INCREMENT PRIMARY KEY, sku VARCHAR(20), warehouse_id INT, qty INT, moved_at DATETIME, kind VARCHAR(10));
CREATE TABLE IF NOT EXISTS stock_daily (snap_day DATE, sku VARCHAR(20), on_hand INT, moves INT);
CREATE TABLE IF NOT EXISTS ops.job_errors (job VARCHAR(40), sku VARCHAR(20), message VARCHAR(200), logged_at DATETIME);
CREATE TABLE IF NOT EXISTS ops.job_runs (job VARCHAR(40), started_at DATETIME, rows_done INT);

DELIMITER $$
DROP PROCEDURE IF EXISTS apply_movements$$
CREATE PROCEDURE IF NOT EXISTS apply_movements(IN p_day DATE)
    MODIFIES SQL DATA
    COMMENT 'books one day of movements; safe to re-run'
main: BEGIN
  DECLARE v_sku VARCHAR(20);
  DECLARE qty INT;  -- named like movements.qty: inside the body the variable wins
  DECLARE v_done BOOLEAN DEFAULT FALSE;
  DECLARE v_count INT DEFAULT 0;
  DECLARE cur CURSOR FOR
    SELECT m.sku, SUM(m.qty) FROM movements m WHERE DATE(m.moved_at) = p_day GROUP BY m.sku;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_done = TRUE;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
    INSERT INTO ops.job_errors (job, sku, message, logged_at)
    SELECT 'apply_movements', s.sku, CONCAT('failed; on_hand was ', s.on_hand), NOW()
      FROM stock s WHERE s.sku = v_sku;

  OPEN cur;
  read_loop: LOOP
    FETCH cur INTO v_sku, qty;
    IF v_done THEN
      LEAVE read_loop;
    END IF;
    apply_one: BEGIN
      DECLARE v_before INT;
      /* a missing row is created; $$ and END here are only comment */
      SELECT s.on_hand INTO v_before FROM stock s WHERE s.sku = v_sku FOR UPDATE;
      IF v_before IS NULL THEN
        INSERT INTO stock (sku, warehouse_id, on_hand, reserved, updated_at)
        SELECT m.sku, MIN(m.warehouse_id), qty, 0, NOW() FROM movements m WHERE m.sku = v_sku GROUP BY m.sku;
      ELSE
        UPDATE stock s SET s.on_hand = v_before + qty, s.updated_at = NOW() WHERE s.sku = v_sku;
      END IF;
    END apply_one;
    SET v_count = v_count + 1;
  END LOOP read_loop;
  CLOSE cur;
  INSERT INTO ops.job_runs (job, started_at, rows_done) VALUES ('apply_movements; $$', NOW(), v_count);
END main$$

-- lives in ops: its unqualified tables are ops tables, whatever USE says
CREATE DEFINER=CURRENT_USER PROCEDURE ops.snapshot_stock(IN p_from DATE, IN p_to DATE)
BEGIN
  DECLARE d DATE DEFAULT p_from;
  WHILE d <= p_to DO
    REPLACE INTO inventory.stock_daily (snap_day, sku, on_hand, moves)
    SELECT d, s.sku, s.on_hand - COALESCE(SUM(m.qty), 0), COUNT(m.id)
      FROM inventory.stock s
      LEFT JOIN inventory.movements m ON m.sku = s.sku AND DATE(m.moved_at) > d
     GROUP BY s.sku, s.on_hand;
    SET d = d + INTERVAL 1 DAY;
  END WHILE;
  INSERT INTO job_runs (job, started_at, rows_done)
  SELECT 'snapshot_stock', NOW(), COUNT(*) FROM inventory.stock_daily sd WHERE sd.snap_day BETWEEN p_from AND p_to;
END$$

CREATE PROCEDURE release_stale_reservations(IN p_batch INT)
BEGIN
  DECLARE v_left INT;
  SELECT COUNT(*) FROM stock WHERE reserved > 0 INTO v_left;
  batch: REPEAT
    UPDATE stock SET reserved = 0, updated_at = NOW()
     WHERE reserved > 0 AND updated_at < NOW() - INTERVAL 2 DAY
     ORDER BY updated_at LIMIT 500;
    SET v_left = v_left - ROW_COUNT();
  UNTIL ROW_COUNT() = 0 OR v_left <= 0 END REPEAT batch;
END$$

CREATE EVENT IF NOT EXISTS ops.ev_stock_snapshot
  ON SCHEDULE EVERY 1 DAY STARTS CURRENT_DATE + INTERVAL 1 DAY + INTERVAL 5 HOUR
  COMMENT 'snapshot; then flag negative stock'
  DO BEGIN
    CALL ops.snapshot_stock(CURRENT_DATE, CURRENT_DATE);
    INSERT INTO job_errors (job, sku, message, logged_at)
    SELECT 'ev_stock_snapshot', s.sku, 'negative stock', NOW() FROM inventory.stock s WHERE s.on_hand < 0;
  END$$
DELIMITER ;

CALL apply_movements(CURRENT_DATE - INTERVAL 1 DAY);
CALL ops.snapshot_stock(CURRENT_DATE - INTERVAL 7 DAY, CURRENT_DATE);
