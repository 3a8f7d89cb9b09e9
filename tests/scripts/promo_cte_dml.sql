-- promo_refresh.sql: weekly promotion refresh (MySQL 8.0.36)
-- run: mysql --batch promo < promo_refresh.sql
CREATE DATABASE IF NOT EXISTS promo;
USE promo;

CREATE TABLE IF NOT EXISTS shop.orders (
  id INT PRIMARY KEY, customer_id INT NOT NULL, placed_at DATETIME NOT NULL,
  total DECIMAL(12,2) NOT NULL, items JSON
);
CREATE TABLE IF NOT EXISTS shop.customers (id INT PRIMARY KEY, email VARCHAR(200), referred_by INT NULL, segment VARCHAR(10));
CREATE TABLE IF NOT EXISTS customer_value (
  customer_id INT PRIMARY KEY, orders INT NOT NULL DEFAULT 0, revenue DECIMAL(14,2),
  segment VARCHAR(10) NOT NULL DEFAULT 'new', updated_at DATETIME
);
CREATE TABLE IF NOT EXISTS coupons (
  code VARCHAR(16) PRIMARY KEY, customer_id INT, pct TINYINT NOT NULL DEFAULT 5,
  created_at DATETIME, state VARCHAR(8) NOT NULL DEFAULT 'new'
);
CREATE TABLE IF NOT EXISTS sku_demand (sku VARCHAR(20) PRIMARY KEY, units INT, last_order_id INT);

-- 1. the last 90 days; MySQL 8 takes a WITH before UPDATE and DELETE
WITH recent AS (
  SELECT o.customer_id, COUNT(*) AS n, SUM(o.total) AS revenue
    FROM shop.orders o
   WHERE o.placed_at >= CURRENT_DATE - INTERVAL 90 DAY
   GROUP BY o.customer_id
)
UPDATE customer_value cv
  JOIN recent r ON r.customer_id = cv.customer_id
   SET cv.orders = r.n, cv.revenue = r.revenue, cv.updated_at = NOW();

WITH dormant AS (SELECT cv.customer_id FROM customer_value cv WHERE cv.updated_at < NOW() - INTERVAL 2 YEAR)
DELETE FROM coupons WHERE customer_id IN (SELECT d.customer_id FROM dormant d);

-- 2. first-time buyers get a row; the WITH comes after the table name
INSERT INTO customer_value
WITH firsts AS (SELECT o.customer_id, MIN(o.placed_at) AS first_at FROM shop.orders o GROUP BY o.customer_id)
SELECT f.customer_id, 0, NULL, 'new', f.first_at
  FROM firsts f
 WHERE NOT EXISTS (SELECT 1 FROM customer_value x WHERE x.customer_id = f.customer_id);

-- 3. weekly demand per sku out of the order documents
INSERT INTO sku_demand (sku, units)
WITH item_rows AS (
  SELECT o.id AS order_id, jt.sku, jt.qty
    FROM shop.orders o
    JOIN JSON_TABLE(o.items, '$[*]' COLUMNS (sku VARCHAR(20) PATH '$.sku', qty INT PATH '$.qty')) AS jt
   WHERE o.placed_at >= CURRENT_DATE - INTERVAL 7 DAY
)
SELECT i.sku, SUM(i.qty) FROM item_rows i GROUP BY i.sku;

-- 4. totals again; a GROUP BY select is wrapped in a derived table so that
--    ON DUPLICATE KEY UPDATE may name its columns (last_at is not inserted)
INSERT INTO customer_value (customer_id, orders, revenue)
SELECT dt.customer_id, dt.n, dt.spend
  FROM (SELECT o.customer_id, COUNT(*) AS n, SUM(o.total) AS spend, MAX(o.placed_at) AS last_at
          FROM shop.orders o GROUP BY o.customer_id) AS dt
ON DUPLICATE KEY UPDATE orders = n, revenue = spend, updated_at = last_at;

-- 5. coupons: row constructors and DEFAULT
INSERT INTO coupons (code, customer_id, pct, created_at)
VALUES ROW('VIP-TOP', (SELECT cv.customer_id FROM customer_value cv ORDER BY cv.revenue DESC LIMIT 1), 20, NOW()),
       ROW('WELCOME', NULL, DEFAULT, DEFAULT);
INSERT INTO customer_value (customer_id, segment, orders) VALUES (0, DEFAULT, 1);

-- 6. segment statistics as a table, from two CTEs, the second reading the first
DROP TABLE IF EXISTS segment_stats;
CREATE TABLE segment_stats AS
WITH spend AS (SELECT o.customer_id, SUM(o.total) AS total FROM shop.orders o GROUP BY o.customer_id),
     banded AS (SELECT s.customer_id, CASE WHEN s.total >= 1000 THEN 'vip' ELSE 'std' END AS band, s.total FROM spend s)
SELECT b.band, COUNT(b.customer_id) AS customers, AVG(b.total) AS avg_spend FROM banded b GROUP BY b.band;

-- 7. who brought whom: the view names its own columns
CREATE OR REPLACE VIEW v_referral_depth (customer_id, root_customer, depth) AS
WITH RECURSIVE chain (customer_id, root_id, depth) AS (
  SELECT c.id, c.id, 0 FROM shop.customers c WHERE c.referred_by IS NULL
  UNION ALL
  SELECT c.id, ch.root_id, ch.depth + 1 FROM shop.customers c JOIN chain ch ON c.referred_by = ch.customer_id
)
SELECT customer_id, root_id, depth FROM chain;

CREATE TABLE IF NOT EXISTS referral_roots (customer_id INT PRIMARY KEY, root_customer INT, depth INT);
INSERT INTO referral_roots SELECT * FROM v_referral_depth WHERE depth > 0;

-- 8. checks run by hand
VALUES ROW('vip', 20), ROW('std', 5) ORDER BY column_1 DESC;
TABLE customer_value ORDER BY revenue DESC LIMIT 1;

START TRANSACTION;
SELECT cp.code, cp.customer_id
  FROM coupons cp
 WHERE cp.state = 'new'
 ORDER BY cp.created_at
 LIMIT 10
   FOR UPDATE SKIP LOCKED;
UPDATE coupons SET state = 'sent' WHERE state = 'new' ORDER BY created_at LIMIT 10;
COMMIT;

-- 9. sent coupons again at the column's default; DEFAULT(col) is that default
INSERT INTO coupons (code, customer_id, pct)
SELECT CONCAT('RE-', cp.code), cp.customer_id, DEFAULT(cp.pct) FROM coupons cp WHERE cp.state = 'sent';
UPDATE coupons SET pct = DEFAULT(pct) + 5 WHERE state = 'new' AND customer_id IS NOT NULL;

-- 10. the VIP view, then its second version with the e-mail
CREATE VIEW v_vip AS SELECT cv.customer_id, cv.revenue FROM customer_value cv WHERE cv.segment = 'vip';
ALTER VIEW v_vip (customer_id, revenue, email) AS
SELECT cv.customer_id, cv.revenue, c.email
  FROM customer_value cv JOIN shop.customers c ON c.id = cv.customer_id
 WHERE cv.segment = 'vip';
SELECT * FROM v_vip;

-- 11. referrer and the referrer's referrer, checked by hand
WITH RECURSIVE chain (customer_id, referrer, second_referrer) AS (
  SELECT c.id, NULL, NULL FROM shop.customers c WHERE c.referred_by IS NULL
  UNION ALL
  SELECT c.id, ch.customer_id, ch.referrer FROM shop.customers c JOIN chain ch ON c.referred_by = ch.customer_id
)
SELECT customer_id, referrer, second_referrer FROM chain;
