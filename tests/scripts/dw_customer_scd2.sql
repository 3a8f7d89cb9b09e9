-- dw_customer_scd2.sql: nightly stage -> dw load of orders and the customer dimension (MySQL 8.0)
-- run: mysql --batch < dw_customer_scd2.sql
USE stg;
CREATE TABLE IF NOT EXISTS customer (id INT PRIMARY KEY, name VARCHAR(80), email VARCHAR(200), country CHAR(2), updated_at DATETIME);
CREATE TABLE IF NOT EXISTS orders (order_id BIGINT PRIMARY KEY, customer_id INT, amount DECIMAL(12,2), status VARCHAR(12), placed_at DATETIME);
CREATE TABLE IF NOT EXISTS country (code CHAR(2) PRIMARY KEY, country_name VARCHAR(60), region_id INT);
CREATE TABLE IF NOT EXISTS region (region_id INT PRIMARY KEY, region_name VARCHAR(60));

USE dw;
CREATE TABLE IF NOT EXISTS dim_customer (
  sk INT AUTO_INCREMENT PRIMARY KEY, id INT NOT NULL, name VARCHAR(80), email VARCHAR(200), country CHAR(2),
  valid_from DATETIME, valid_to DATETIME, is_current TINYINT NOT NULL DEFAULT 1
);
CREATE TABLE IF NOT EXISTS orders (order_id BIGINT PRIMARY KEY, customer_id INT, amount DECIMAL(12,2), placed_at DATETIME, deleted TINYINT NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS dim_geo (country_code CHAR(2), country_name VARCHAR(60), region_id INT, region_key INT, region_name VARCHAR(60));

-- 1. incremental: only orders newer than the newest loaded one (same table name in stg and dw)
INSERT INTO orders (order_id, customer_id, amount, placed_at)
SELECT order_id, customer_id, ROUND(amount, 2), placed_at
  FROM stg.orders
 WHERE status = 'ok'
   AND order_id > (SELECT COALESCE(MAX(order_id), 0) FROM orders);

-- 2. soft-delete what the source no longer has
UPDATE orders o
   SET o.deleted = 1
 WHERE NOT EXISTS (SELECT 1 FROM stg.orders s WHERE s.order_id = o.order_id);

-- 3. geography: both stage tables, column for column
INSERT IGNORE INTO dim_geo
SELECT * FROM stg.country c JOIN stg.region r ON r.region_id = c.region_id;
CREATE TABLE geo_flat AS
SELECT * FROM stg.country JOIN stg.region USING (region_id);

-- 4. SCD type 2: close the changed versions, then add the new ones
UPDATE dim_customer d
  JOIN stg.customer s ON s.id = d.id
   SET d.valid_to = s.updated_at, is_current = 0
 WHERE d.is_current = 1
   AND (d.email <> s.email OR d.country <> s.country OR d.name <> s.name);
INSERT INTO dim_customer (id, name, email, country, valid_from, valid_to, is_current)
SELECT s.id, s.name, LOWER(s.email), s.country, updated_at, NULL, 1
  FROM stg.customer s
  LEFT JOIN dim_customer d ON d.id = s.id AND d.is_current = 1
 WHERE d.id IS NULL;

-- 5. repair versions without a start; the flag reads the repaired start
UPDATE dim_customer
   SET valid_from = COALESCE(valid_from, valid_to), is_current = (valid_from IS NOT NULL)
 WHERE valid_to IS NOT NULL;

-- 6. customer value, one row per customer and month
CREATE TABLE customer_value AS
SELECT o.customer_id,
       DATE_FORMAT(o.placed_at, '%Y-%m') AS ym,
       CASE WHEN SUM(o.amount) >= 1000 THEN 'gold'
            WHEN SUM(o.amount) >= 100 THEN 'silver'
            ELSE 'bronze' END AS tier,
       COUNT(*) AS orders_n
  FROM orders o
 WHERE o.deleted = 0
 GROUP BY o.customer_id, ym
HAVING orders_n > 1;

USE rpt;
CREATE TABLE IF NOT EXISTS customer_report (customer_id INT, email VARCHAR(200), region_name VARCHAR(60), tier VARCHAR(10), orders_n INT);
-- 7. unqualified columns, each held by one joined table only
INSERT INTO customer_report
SELECT d.id, email, region_name,
       CASE WHEN d.country IN ('DE', 'AT', 'CH') THEN CONCAT('dach-', tier) ELSE tier END, orders_n
  FROM dw.dim_customer d
  JOIN dw.geo_flat g ON g.code = d.country
  JOIN dw.customer_value v ON v.customer_id = d.id
 WHERE is_current = 1;

-- 8. a report copy of the stage customers, same shape
CREATE TABLE IF NOT EXISTS customer (id INT PRIMARY KEY, name VARCHAR(80), email VARCHAR(200), country CHAR(2), updated_at DATETIME);
REPLACE INTO customer SELECT * FROM stg.customer WHERE id IN (SELECT customer_id FROM dw.customer_value);
