# customer_rebuild.sql -- nightly rebuild of the customer mart from the Shop schema.
# Run: mysql --batch < customer_rebuild.sql   (lower_case_table_names=1 on this server)

USE Shop;

CREATE TABLE IF NOT EXISTS Orders (
  id INT PRIMARY KEY, customer_id INT NOT NULL, placed_at DATETIME NOT NULL,
  channel VARCHAR(10) NOT NULL, total DECIMAL(12,2) NOT NULL, status VARCHAR(12) NOT NULL
);
CREATE TABLE IF NOT EXISTS Customers (
  id INT PRIMARY KEY, email VARCHAR(200) NOT NULL, country CHAR(2), signup_at DATETIME
);
CREATE TABLE IF NOT EXISTS shop.returns (order_id INT NOT NULL, returned_at DATETIME, refund DECIMAL(12,2));
CREATE TABLE IF NOT EXISTS shop.manual_adjustments (customer_id INT, adj_day DATE, amount DECIMAL(12,2));
CREATE TABLE IF NOT EXISTS Mart.contact_points (customer_id INT, channel VARCHAR(10), last_seen DATETIME);
CREATE TABLE IF NOT EXISTS mart.de_customers (id INT PRIMARY KEY, email VARCHAR(200));
CREATE TABLE IF NOT EXISTS mart.all_customers (id INT PRIMARY KEY, email VARCHAR(200), country CHAR(2), signup_at DATETIME);

-- 1. orders that count (no AS before the SELECT: MySQL takes it either way)
CREATE TEMPORARY TABLE tmp_orders
SELECT o.id, O.customer_id, DATE(o.placed_at) AS order_day, O.total
  FROM Orders o
 WHERE o.status <> 'cancelled';

-- 2. refunds per order into a declared temporary table, no column list
CREATE TEMPORARY TABLE tmp_returns (order_id INT PRIMARY KEY, refund DECIMAL(12,2));
INSERT INTO tmp_returns
SELECT r.order_id, SUM(r.refund) FROM shop.returns r GROUP BY r.order_id;

-- 3. net revenue; `note` is declared here, the rest comes from the select
CREATE TEMPORARY TABLE tmp_net (net DECIMAL(12,2), note VARCHAR(20))
SELECT t.customer_id, t.order_day, t.total - COALESCE(x.refund, 0) AS net
  FROM tmp_orders t
  LEFT JOIN tmp_returns x ON x.order_id = t.id;
INSERT INTO tmp_net
SELECT 'manual', m.customer_id, m.adj_day, m.amount FROM manual_adjustments m;

-- 4. the mart table changed shape in v2: drop and create again
CREATE TABLE IF NOT EXISTS mart.customer_day (day DATE, customer INT, revenue DECIMAL(14,2));
DROP TABLE IF EXISTS mart.customer_day;
CREATE TABLE mart.customer_day (
  customer_id INT NOT NULL, order_day DATE NOT NULL, orders INT, revenue DECIMAL(14,2),
  refreshed_at DATETIME, PRIMARY KEY (customer_id, order_day)
);
INSERT IGNORE INTO mart.customer_day
SELECT n.customer_id, n.order_day, COUNT(*), SUM(n.net), NOW()
  FROM tmp_net n
 GROUP BY n.customer_id, n.order_day;

-- kept from v1 of this script: a no-op now that the table exists
CREATE TABLE IF NOT EXISTS mart.customer_day (order_day DATE, customer_id INT, revenue DECIMAL(14,2));
REPLACE INTO mart.customer_day
SELECT c.id, DATE(c.signup_at), 0, 0.00, NOW()
  FROM Customers c
 WHERE NOT EXISTS (SELECT 1 FROM tmp_net n WHERE n.customer_id = c.id);

-- 5. the German run: a temporary table hides the real customers table
CREATE TEMPORARY TABLE customers
SELECT c.id, c.email FROM shop.customers c WHERE c.country = 'DE';
INSERT INTO mart.de_customers SELECT * FROM customers;
DROP TEMPORARY TABLE customers;
INSERT INTO mart.all_customers SELECT * FROM CUSTOMERS;

-- 6. last contact per channel; sign-ups count as a channel of their own
INSERT INTO mart.contact_points
SELECT o.customer_id, o.channel, MAX(o.placed_at) FROM shop.orders o GROUP BY o.customer_id, o.channel
UNION
SELECT c.id, 'signup', c.signup_at FROM shop.customers c;

UPDATE mart.customer_day CD
  JOIN Shop.Customers c ON c.id = cd.customer_id
   SET CD.refreshed_at = c.signup_at
 WHERE cd.refreshed_at IS NULL;

DROP TEMPORARY TABLE IF EXISTS tmp_orders, tmp_returns, tmp_net;
