-- Nightly sales mart, step 2 of 3: the daily rollups, rebuilt from
-- mart.sales_lines every night (CREATE TABLE ... AS SELECT, one on the other).
USE mart;

DROP TABLE IF EXISTS daily_store_sales;
CREATE TABLE daily_store_sales AS
SELECT sl.sale_day,
       sl.store_id,
       SUM(sl.revenue_eur)         AS revenue_eur,
       SUM(sl.margin_eur)          AS margin_eur,
       COUNT(DISTINCT sl.order_id) AS orders
FROM sales_lines AS sl
GROUP BY sl.sale_day, sl.store_id;

DROP TABLE IF EXISTS daily_region_sales;
CREATE TABLE daily_region_sales AS
SELECT d.sale_day,
       s.region,
       SUM(d.revenue_eur) AS revenue_eur,
       SUM(d.orders)      AS orders
FROM daily_store_sales AS d
JOIN shop.stores AS s ON s.id = d.store_id
GROUP BY d.sale_day, s.region;

ALTER TABLE daily_region_sales
  ADD COLUMN target_eur DECIMAL(14, 2) NULL,
  ADD COLUMN attainment DECIMAL(8, 4) NULL;

UPDATE daily_region_sales AS d
JOIN finance.region_targets AS t
  ON t.region = d.region
 AND t.month_start = DATE_FORMAT(d.sale_day, '%Y-%m-01')
SET d.target_eur = t.daily_target,
    d.attainment = d.revenue_eur / NULLIF(t.daily_target, 0);

-- regions without a target of their own get the company-wide one
UPDATE daily_region_sales
SET target_eur = (SELECT c.daily_target
                  FROM finance.company_targets AS c
                  WHERE c.month_start = DATE_FORMAT(daily_region_sales.sale_day, '%Y-%m-01'))
WHERE target_eur IS NULL;
