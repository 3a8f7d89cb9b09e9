-- nightly_sales.sql: till exports -> stage -> warehouse facts (MySQL 8.0)
-- cron: mysql --local-infile=1 --batch warehouse < nightly_sales.sql
USE stage;

CREATE TABLE IF NOT EXISTS warehouse.dim_store (store_id INT PRIMARY KEY, store_code VARCHAR(8), region_id INT, opened_on DATE);
CREATE TABLE IF NOT EXISTS warehouse.dim_region (region_id INT PRIMARY KEY, region_name VARCHAR(40));
CREATE TABLE IF NOT EXISTS warehouse.dim_product (product_id INT PRIMARY KEY, sku VARCHAR(20), unit_cost DECIMAL(10,2), last_sold DATE);
CREATE TABLE IF NOT EXISTS warehouse.fact_sales (
  sale_day DATE, store_id INT, product_id INT, qty INT, gross DECIMAL(12,2), margin DECIMAL(12,2), loaded_at DATETIME,
  PRIMARY KEY (sale_day, store_id, product_id)
);

DROP TABLE IF EXISTS sales_raw;
CREATE TABLE sales_raw (sale_day DATE, store_code VARCHAR(8), sku VARCHAR(20), qty INT, gross DECIMAL(12,2), src_file VARCHAR(64));

LOAD DATA LOCAL INFILE '/data/pos/sales_20240304.csv'
  INTO TABLE sales_raw
  FIELDS TERMINATED BY ';' OPTIONALLY ENCLOSED BY '"'
  LINES TERMINATED BY '\n'
  IGNORE 1 LINES
  (@d, store_code, sku, @q, gross)
  SET sale_day = STR_TO_DATE(@d, '%Y%m%d'), qty = NULLIF(@q, ''), src_file = 'sales_20240304.csv';

-- one till exports qty and gross the wrong way round: swap them back
UPDATE sales_raw SET qty = gross, gross = qty WHERE store_code = 'S07' AND qty > 1000;
UPDATE sales_raw SET gross = COALESCE(gross, qty * 9.99), store_code = UPPER(TRIM(store_code));

CREATE TABLE store_cache ENGINE=MEMORY AS
SELECT s.store_code, s.store_id, r.region_name
  FROM warehouse.dim_store s JOIN warehouse.dim_region r ON r.region_id = s.region_id;

CREATE TABLE run_marker SELECT NOW() AS started_at, 'nightly_sales' AS job, CONNECTION_ID() AS conn FROM dual;

SELECT MAX(sale_day), COUNT(*) INTO @day, @rows FROM sales_raw;
INSERT INTO warehouse.etl_runs (job, run_day, rows_in, started_at) VALUES ('nightly_sales', @day, @rows, NOW());

INSERT INTO warehouse.fact_sales (sale_day, store_id, product_id, qty, gross)
SELECT r.sale_day, st.store_id, p.product_id, SUM(r.qty), SUM(r.gross)
  FROM sales_raw r
  JOIN store_cache st ON st.store_code = r.store_code
  JOIN warehouse.dim_product p ON p.sku = r.sku
 GROUP BY r.sale_day, st.store_id, p.product_id
ON DUPLICATE KEY UPDATE qty = VALUES(qty), gross = VALUES(gross), loaded_at = NOW();

REPLACE INTO warehouse.product_store (product_id, store_id)
SELECT DISTINCT product_id, store_id
  FROM sales_raw JOIN warehouse.dim_product USING (sku) JOIN store_cache USING (store_code);

UPDATE warehouse.fact_sales f, warehouse.dim_product p, store_cache st
   SET f.margin = f.gross - f.qty * p.unit_cost,
       p.last_sold = f.sale_day,
       st.region_name = UPPER(st.region_name)
 WHERE f.product_id = p.product_id AND f.store_id = st.store_id AND f.sale_day = @day;
-- rows whose store is gone: margin back to its default, stamped in UTC
UPDATE warehouse.fact_sales SET margin = DEFAULT, loaded_at = UTC_TIMESTAMP WHERE store_id NOT IN (SELECT store_id FROM store_cache);

-- the yearly tables were made by hand; nobody kept their DDL
INSERT INTO archive.sales_all SELECT * FROM archive.sales_2023 UNION ALL SELECT * FROM archive.sales_2024;
CREATE TABLE IF NOT EXISTS archive.sales_recent (sale_day DATE, store_code VARCHAR(8), sku VARCHAR(20), qty INT, gross DECIMAL(12,2));
INSERT INTO archive.sales_recent SELECT * FROM archive.sales_2024 WHERE sale_day >= '2024-01-01';

SET @part = CONCAT('p', DATE_FORMAT(@day, '%Y%m'));
SET @sql = CONCAT('INSERT INTO warehouse.fact_sales_', @part, ' SELECT * FROM warehouse.fact_sales WHERE sale_day = ?');
PREPARE stmt FROM @sql;
EXECUTE stmt USING @day;
DEALLOCATE PREPARE stmt;

-- the KPI sheet: one row per store and day, weekdays pivoted
INSERT INTO warehouse.kpi_store_day (sale_day, store_id, region, lines_sold, units, gross, margin, avg_unit_price, units_mon, units_tue, units_wed, units_thu, units_fri, units_sat, units_sun, big_tickets, returns, first_load, last_load)
SELECT f.sale_day, f.store_id, MAX(st.region_name), COUNT(*), SUM(f.qty), SUM(f.gross), SUM(f.margin), ROUND(SUM(f.gross) / NULLIF(SUM(f.qty), 0), 2),
       SUM(CASE WHEN DAYOFWEEK(f.sale_day) = 2 THEN f.qty ELSE 0 END), SUM(CASE WHEN DAYOFWEEK(f.sale_day) = 3 THEN f.qty ELSE 0 END), SUM(CASE WHEN DAYOFWEEK(f.sale_day) = 4 THEN f.qty ELSE 0 END), SUM(CASE WHEN DAYOFWEEK(f.sale_day) = 5 THEN f.qty ELSE 0 END), SUM(CASE WHEN DAYOFWEEK(f.sale_day) = 6 THEN f.qty ELSE 0 END), SUM(CASE WHEN DAYOFWEEK(f.sale_day) = 7 THEN f.qty ELSE 0 END), SUM(CASE WHEN DAYOFWEEK(f.sale_day) = 1 THEN f.qty ELSE 0 END),
       SUM(f.gross > 1000), SUM(CASE WHEN f.qty < 0 THEN -f.qty ELSE 0 END), MIN(f.loaded_at), MAX(f.loaded_at)
  FROM warehouse.fact_sales f JOIN store_cache st ON st.store_id = f.store_id
 WHERE f.sale_day = @day
 GROUP BY f.sale_day, f.store_id;

-- the file the finance team picks up
SELECT DATE_FORMAT(k.sale_day, GET_FORMAT(DATE, 'EUR')) AS day_eu, k.store_id, k.gross
  FROM warehouse.kpi_store_day k WHERE k.sale_day = @day
  INTO OUTFILE '/exports/kpi_store_day.csv' FIELDS TERMINATED BY ';' LINES TERMINATED BY '\n';

INSERT INTO warehouse.etl_runs (job, run_day, rows_in, started_at, finished_at)
SELECT m.job, @day, @rows, m.started_at, UTC_TIMESTAMP FROM run_marker m;
DROP TABLE store_cache, run_marker;
