-- Nightly load of the reporting mart.
USE staging;

INSERT INTO mart.daily_sales (sale_day, store_id, revenue)
SELECT o.order_day, o.store_id, SUM(o.amount)
FROM orders AS o
GROUP BY o.order_day, o.store_id;

REPLACE INTO mart.store_dim
SELECT s.id, s.name, r.region_name AS region
FROM stores s JOIN crm.regions r ON r.id = s.region_id;

CREATE TABLE mart.top_customers AS
WITH spend AS (SELECT c.customer_id, SUM(c.amount) AS total FROM orders c GROUP BY c.customer_id)
SELECT sp.customer_id, sp.total, cu.email
FROM spend AS sp JOIN crm.customers cu ON cu.id = sp.customer_id;

CREATE OR REPLACE VIEW mart.v_revenue AS
SELECT d.sale_day AS day, d.revenue, NOW() AS loaded_at FROM mart.daily_sales d;

UPDATE mart.store_dim SET region = 'n/a' WHERE region IS NULL;
