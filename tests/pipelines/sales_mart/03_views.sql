-- Nightly sales mart, step 3 of 3: the reporting views, each over the one
-- before it. Re-created on every deploy of the job.
USE reporting;

CREATE OR REPLACE VIEW v_region_day AS
SELECT d.sale_day    AS day,
       d.region,
       d.revenue_eur AS revenue,
       d.attainment
FROM mart.daily_region_sales AS d;

CREATE OR REPLACE VIEW v_region_week (year_week, region, revenue, avg_attainment) AS
SELECT YEARWEEK(v.day, 3), v.region, SUM(v.revenue), AVG(v.attainment)
FROM v_region_day AS v
GROUP BY YEARWEEK(v.day, 3), v.region;

CREATE OR REPLACE VIEW v_region_ranking AS
SELECT w.year_week,
       w.region,
       w.revenue,
       RANK() OVER (PARTITION BY w.year_week ORDER BY w.revenue DESC) AS revenue_rank
FROM v_region_week AS w;

CREATE OR REPLACE VIEW v_top_products AS
SELECT p.name AS product,
       c.name AS category,
       SUM(sl.revenue_eur) AS revenue,
       SUM(sl.qty)         AS units
FROM Mart.Sales_Lines AS sl
JOIN shop.products AS p ON p.id = sl.product_id
JOIN ref.categories AS c ON c.id = p.category_id
GROUP BY p.name, c.name;
