-- =====================================================================
-- Daily customer roll-up: raw -> staging -> mart
-- The raw.* tables belong to the ingestion team and are not declared here.
-- =====================================================================
USE staging;

DROP TEMPORARY TABLE IF EXISTS tmp;
CREATE TEMPORARY TABLE tmp (k INT, q INT);

-- units bought per customer yesterday
INSERT INTO tmp
SELECT o.customer_id, SUM(o.quantity)
  FROM raw.orders o
 WHERE o.created_at >= CURDATE() - INTERVAL 1 DAY
   AND o.created_at <  CURDATE()
 GROUP BY o.customer_id;

CREATE TEMPORARY TABLE t2 AS
SELECT c.customer_id,
       c.country,
       UPPER(c.segment) AS segment,
       tmp.q            AS qty
  FROM raw.customers c
  JOIN tmp ON tmp.k = c.customer_id;

-- eyeball the joined rows before going on
SELECT t2.*, x.credit_limit
  FROM t2
  JOIN raw.credit x ON x.customer_id = t2.customer_id
 ORDER BY t2.qty DESC
 LIMIT 20;

SELECT country, SUM(qty) AS units, r.region
  FROM t2
  JOIN raw.countries r ON r.code = t2.country
 GROUP BY country, r.region;

SELECT * FROM raw.credit WHERE credit_limit > 10000;

CREATE TABLE IF NOT EXISTS t2_snapshot LIKE t2;
INSERT INTO t2_snapshot
SELECT * FROM t2 WHERE qty > 0;

ALTER TABLE t2_snapshot
  ADD COLUMN loaded_at DATETIME NULL,
  DROP COLUMN segment;
RENAME TABLE t2_snapshot TO customer_snapshot;

INSERT INTO customer_snapshot
SELECT t2.customer_id, t2.country, t2.qty, NOW()
  FROM t2
 WHERE t2.qty = 0;

DROP TEMPORARY TABLE tmp;

INSERT INTO mart.customer_daily (snapshot_day, country, segment, customers, units, credit)
SELECT CURDATE(),
       s.country,
       t2.segment,
       COUNT(DISTINCT s.customer_id),
       SUM(s.qty),
       MAX(x.credit_limit)
  FROM customer_snapshot s
  JOIN t2 ON t2.customer_id = s.customer_id
  LEFT JOIN raw.credit x ON x.customer_id = s.customer_id
 GROUP BY s.country, t2.segment;

DROP TEMPORARY TABLE t2;
