-- A small warehouse over three databases, loaded into the throwaway server
-- by tests/test_server.py: raw rows land in staging, the warehouse (dw) keeps
-- dimensions and facts, reporting holds views over views across databases.
-- Every kind of stored object the server reader lists is here: views, a
-- procedure, a function, triggers and an event.

CREATE DATABASE staging;
CREATE DATABASE dw;
CREATE DATABASE reporting;

CREATE TABLE staging.orders_raw (
    order_id INT NOT NULL,
    customer_id INT NOT NULL,
    amount DECIMAL(10,2) NOT NULL,
    currency CHAR(3) NOT NULL,
    ordered_at DATETIME NOT NULL,
    status ENUM('open','paid','void') NOT NULL DEFAULT 'open'
);
CREATE TABLE staging.customers_raw (
    customer_id INT NOT NULL,
    full_name VARCHAR(200) NOT NULL,
    email VARCHAR(200),
    country CHAR(2) NOT NULL
);

CREATE TABLE dw.fx_rate (
    currency CHAR(3) NOT NULL PRIMARY KEY,
    rate_to_eur DECIMAL(12,6) NOT NULL
);
INSERT INTO dw.fx_rate VALUES ('EUR', 1), ('USD', 0.92);
CREATE TABLE dw.dim_customer (
    customer_key INT UNSIGNED AUTO_INCREMENT PRIMARY KEY,
    customer_id INT NOT NULL,
    name VARCHAR(200) NOT NULL,
    country CHAR(2) NOT NULL
);
CREATE TABLE dw.fact_sales (
    order_id INT NOT NULL PRIMARY KEY,
    customer_key INT UNSIGNED NOT NULL,
    amount_eur DECIMAL(14,2) NOT NULL,
    sold_on DATE NOT NULL
);
CREATE TABLE dw.audit_log (
    id BIGINT AUTO_INCREMENT PRIMARY KEY,
    table_name VARCHAR(64) NOT NULL,
    row_id INT NOT NULL,
    logged_at DATETIME NOT NULL
);

CREATE TABLE reporting.daily_totals (
    day DATE NOT NULL PRIMARY KEY,
    orders INT NOT NULL,
    total_eur DECIMAL(16,2) NOT NULL
);

USE dw;

CREATE VIEW v_paid_orders AS
SELECT o.order_id, o.customer_id, o.amount * f.rate_to_eur AS amount_eur,
       DATE(o.ordered_at) AS sold_on
FROM staging.orders_raw o
JOIN fx_rate f ON f.currency = o.currency
WHERE o.status = 'paid';

DELIMITER //
CREATE FUNCTION to_eur(amount DECIMAL(10,2), code CHAR(3)) RETURNS DECIMAL(14,2)
READS SQL DATA
BEGIN
    DECLARE rate DECIMAL(12,6);
    SELECT rate_to_eur INTO rate FROM fx_rate WHERE currency = code;
    RETURN amount * rate;
END//

CREATE PROCEDURE load_sales()
MODIFIES SQL DATA
BEGIN
    INSERT INTO dim_customer (customer_id, name, country)
    SELECT r.customer_id, r.full_name, r.country
    FROM staging.customers_raw r
    LEFT JOIN dim_customer d ON d.customer_id = r.customer_id
    WHERE d.customer_key IS NULL;

    INSERT INTO fact_sales (order_id, customer_key, amount_eur, sold_on)
    SELECT p.order_id, d.customer_key, p.amount_eur, p.sold_on
    FROM v_paid_orders p
    JOIN dim_customer d ON d.customer_id = p.customer_id;
END//

CREATE TRIGGER fact_sales_audit AFTER INSERT ON fact_sales FOR EACH ROW
INSERT INTO audit_log (table_name, row_id, logged_at)
VALUES ('fact_sales', NEW.order_id, NOW())//

CREATE TRIGGER dim_customer_tidy BEFORE INSERT ON dim_customer FOR EACH ROW
BEGIN
    SET NEW.name = TRIM(NEW.name);
    SET NEW.country = UPPER(NEW.country);
END//

CREATE EVENT nightly_totals ON SCHEDULE EVERY 1 DAY STARTS '2030-01-01 02:00:00'
DO REPLACE INTO reporting.daily_totals (day, orders, total_eur)
   SELECT sold_on, COUNT(*), SUM(amount_eur) FROM fact_sales GROUP BY sold_on//
DELIMITER ;

USE reporting;

CREATE VIEW sales_by_country AS
SELECT c.country, s.sold_on, SUM(s.amount_eur) AS revenue
FROM dw.fact_sales s
JOIN dw.dim_customer c ON c.customer_key = s.customer_key
GROUP BY c.country, s.sold_on;

CREATE VIEW top_countries AS
SELECT country, SUM(revenue) AS revenue FROM sales_by_country
GROUP BY country ORDER BY revenue DESC LIMIT 10;

CREATE VIEW customer_emails AS
SELECT d.customer_key, r.email
FROM dw.dim_customer d JOIN staging.customers_raw r ON r.customer_id = d.customer_id;

CREATE VIEW revenue_eur AS
SELECT s.order_id, dw.to_eur(o.amount, o.currency) AS recomputed, s.amount_eur
FROM dw.fact_sales s JOIN staging.orders_raw o ON o.order_id = s.order_id;

-- A name to quote: a backtick and a space.
CREATE VIEW `totals``by day` AS
SELECT day, total_eur / NULLIF(orders, 0) AS average_eur FROM daily_totals;

-- A reader that may query everything but read the text of customer_emails
-- (no SHOW VIEW on it) nor that of the stored programs (EXECUTE only). The
-- test gives it its password.
CREATE USER lineage_reader@localhost;
GRANT SELECT, SHOW VIEW, TRIGGER, EVENT ON staging.* TO lineage_reader@localhost;
GRANT SELECT, SHOW VIEW, TRIGGER, EVENT, EXECUTE ON dw.* TO lineage_reader@localhost;
GRANT SELECT ON reporting.* TO lineage_reader@localhost;
GRANT SHOW VIEW ON reporting.sales_by_country TO lineage_reader@localhost;
GRANT SHOW VIEW ON reporting.top_countries TO lineage_reader@localhost;
GRANT SHOW VIEW ON reporting.revenue_eur TO lineage_reader@localhost;
GRANT SHOW VIEW ON reporting.`totals``by day` TO lineage_reader@localhost;
