# Nightly load of the sales mart (dw) from the shop floor system (ops).
# Run as: mysql --user=etl < etl_procedure.sql

CREATE DATABASE IF NOT EXISTS ops;
CREATE DATABASE IF NOT EXISTS dw;
USE dw;

CREATE TABLE IF NOT EXISTS ops.sales (
  sale_id    INT PRIMARY KEY,
  store_id   INT NOT NULL,
  product_id INT NOT NULL,
  sold_at    DATETIME NOT NULL,
  qty        INT NOT NULL,
  unit_price DECIMAL(10,2) NOT NULL,
  discount   DECIMAL(10,2) NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS ops.stores (
  store_id   INT PRIMARY KEY,
  store_name VARCHAR(80) NOT NULL,
  region     VARCHAR(20) NOT NULL,
  currency   CHAR(3) NOT NULL
);
CREATE TABLE IF NOT EXISTS ops.fx_rates (
  currency    CHAR(3) NOT NULL,
  rate_date   DATE NOT NULL,
  rate_to_eur DECIMAL(12,6) NOT NULL,
  PRIMARY KEY (currency, rate_date)
);
CREATE TABLE IF NOT EXISTS fact_sales (
  sale_id    INT PRIMARY KEY,
  store_id   INT NOT NULL,
  sale_date  DATE NOT NULL,
  amount_eur DECIMAL(14,2),
  load_batch INT,
  load_mode  VARCHAR(40)
);
CREATE TABLE IF NOT EXISTS store_totals (
  store_id   INT NOT NULL,
  sale_date  DATE NOT NULL,
  total_eur  DECIMAL(14,2),
  sale_count INT NOT NULL DEFAULT 0,
  PRIMARY KEY (store_id, sale_date)
);
CREATE TABLE IF NOT EXISTS load_log (
  batch_id    INT AUTO_INCREMENT PRIMARY KEY,
  mode        VARCHAR(10),
  rows_loaded INT,
  loaded_on   DATE,
  note        VARCHAR(200)
);

DELIMITER $$

DROP PROCEDURE IF EXISTS load_sales $$

-- p_mode: 'full' reloads the day, 'region' adds one region's sales in EUR,
-- anything else reprices what is already loaded.
CREATE PROCEDURE load_sales(IN p_day DATE, IN p_mode VARCHAR(10), IN p_region VARCHAR(20))
BEGIN
  DECLARE v_batch INT DEFAULT 0;
  DECLARE v_rate DECIMAL(12,6) DEFAULT 1.0;
  DECLARE v_done INT DEFAULT 0;
  DECLARE v_store INT;
  DECLARE v_total DECIMAL(14,2);
  DECLARE cur_stores CURSOR FOR
    SELECT f.store_id, SUM(f.amount_eur)
    FROM fact_sales f
    WHERE f.sale_date = p_day
    GROUP BY f.store_id;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_done = 1;

  SELECT COALESCE(MAX(batch_id), 0) + 1 INTO v_batch FROM load_log;
  SELECT r.rate_to_eur INTO v_rate
    FROM ops.fx_rates r
   WHERE r.currency = 'USD' AND r.rate_date = p_day;

  IF p_mode = 'full' THEN
    DELETE FROM fact_sales WHERE sale_date = p_day;
    INSERT INTO fact_sales (sale_id, store_id, sale_date, amount_eur, load_batch, load_mode)
    SELECT s.sale_id, s.store_id, DATE(s.sold_at), s.qty * s.unit_price - s.discount, v_batch, p_mode
      FROM ops.sales s
     WHERE s.sold_at >= p_day AND s.sold_at < p_day + INTERVAL 1 DAY;
  ELSEIF p_mode = 'region' THEN
    INSERT INTO fact_sales (sale_id, store_id, sale_date, amount_eur, load_batch, load_mode)
    SELECT s.sale_id, st.store_id, p_day, (s.qty * s.unit_price) * v_rate, v_batch,
           CONCAT(p_mode, ':', st.region)
      FROM ops.sales s
      JOIN ops.stores st ON st.store_id = s.store_id
     WHERE st.region = p_region AND DATE(s.sold_at) = p_day;
  ELSE
    UPDATE fact_sales f
      JOIN ops.sales s ON s.sale_id = f.sale_id
       SET f.amount_eur = (s.qty * s.unit_price - s.discount) * v_rate,
           f.load_batch = v_batch
     WHERE f.sale_date = p_day;
  END IF;

  OPEN cur_stores;
  read_loop: LOOP
    FETCH cur_stores INTO v_store, v_total;
    IF v_done = 1 THEN
      LEAVE read_loop;
    END IF;
    INSERT INTO store_totals (store_id, sale_date, total_eur, sale_count)
    VALUES (v_store, p_day, v_total, 0)
    ON DUPLICATE KEY UPDATE total_eur = VALUES(total_eur);
  END LOOP;
  CLOSE cur_stores;

  INSERT INTO load_log (mode, rows_loaded, loaded_on, note)
  SELECT p_mode, COUNT(*), p_day, CONCAT('batch ', v_batch, ' (', p_mode, ')')
    FROM fact_sales
   WHERE load_batch = v_batch;
END $$

DELIMITER ;

CALL load_sales('2024-05-01', 'full', NULL);
CALL load_sales(CURDATE() - INTERVAL 1 DAY, 'region', 'EMEA');

SELECT store_id, total_eur AS eur, sale_count
  FROM store_totals
 WHERE sale_date = '2024-05-01';
