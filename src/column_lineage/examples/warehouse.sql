-- Monthly revenue per region and customer segment, the kind of report query
-- a warehouse runs every night.
WITH monthly_orders AS (
    SELECT o.`customer_id`,
           DATE_FORMAT(o.order_date, '%Y-%m') AS order_month,
           SUM(o.amount) AS revenue,
           COUNT(o.order_id) AS order_count
    FROM sales.orders AS o
    WHERE o.status <> 'cancelled'
    GROUP BY o.customer_id, DATE_FORMAT(o.order_date, '%Y-%m')
), customers AS (
    SELECT c.id AS customer_id, c.segment, r.region_name AS region
    FROM (SELECT cu.id, cu.segment, cu.region_id FROM crm.customers AS cu) AS c
    JOIN crm.regions AS r ON r.id = c.region_id
)
SELECT monthly_orders.order_month AS month,
       customers.region,
       customers.segment,
       monthly_orders.revenue AS total_revenue,
       CASE WHEN monthly_orders.order_count > 10 THEN 'frequent' ELSE 'occasional' END AS buyer_type,
       'EUR' AS currency
FROM monthly_orders
JOIN customers ON customers.customer_id = monthly_orders.customer_id
