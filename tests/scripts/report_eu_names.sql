-- report_eu.sql: monthly EU figures. The tables keep the names the business
-- gave them (spaces, dots, keywords); the server runs lower_case_table_names=1.
CREATE DATABASE IF NOT EXISTS `Sales`;
CREATE DATABASE IF NOT EXISTS `report-eu`;
USE `report-eu`;

CREATE TABLE IF NOT EXISTS Sales.Orders (
  `Order_ID` INT PRIMARY KEY,
  `Customer` VARCHAR(80),
  `order` INT COMMENT 'sequence within the day',
  `group` VARCHAR(20),
  `select` TINYINT(1) COMMENT 'picked for the report',
  `unit.price` DECIMAL(10,2),
  `Qty` INT,
  `Placed On` DATE
);
CREATE TABLE IF NOT EXISTS `Sales`.`Order Lines` (`Order_ID` INT, `Line No` INT, `SKU` VARCHAR(20), `Amount` DECIMAL(10,2));
CREATE TABLE IF NOT EXISTS `monthly totals` (`month` CHAR(7), `group` VARCHAR(20), `order count` INT, `revenue.eur` DECIMAL(14,2));
CREATE TABLE IF NOT EXISTS fx (date DATE, currency CHAR(3), value DECIMAL(12,6), timestamp DATETIME, year SMALLINT);

-- 1. the month's totals per group
INSERT INTO `monthly totals`
SELECT DATE_FORMAT(o.`Placed On`, '%Y-%m'), o.`group`, COUNT(DISTINCT o.order_id), SUM(o.`unit.price` * o.qty)
  FROM sales.orders AS o
 WHERE o.`select` = 1
 GROUP BY 1, 2;

-- 2. order lines as the report wants them
CREATE OR REPLACE VIEW `report-eu`.`v order lines` AS
SELECT l.`Order_ID` AS `order`, l.`Line No` AS `line`, l.sku AS `select`, l.amount * 1.19 AS `gross.eur`
  FROM `sales`.`order lines` l;

SELECT `v`.`order`, `v`.`select`, SUM(`v`.`gross.eur`) AS `sum(gross)`
  FROM `V ORDER LINES` AS `v`
 GROUP BY `v`.`order`, `v`.`select`;

-- 3. last year's orders into the archive, shaped like the orders
CREATE TABLE IF NOT EXISTS `Order Archive` LIKE Sales.ORDERS;
INSERT INTO `order archive` SELECT * FROM SALES.orders WHERE `Placed On` < '2024-01-01';

-- 4. the unit price from the lines; the derived table's name holds a dot
UPDATE Sales.Orders o
  JOIN (SELECT `Order_ID`, SUM(`Amount`) AS `sum` FROM Sales.`Order Lines` GROUP BY `Order_ID`) AS `l.t`
    ON `l.t`.order_id = o.Order_ID
   SET o.`unit.price` = `l.t`.`sum` / NULLIF(o.qty, 0);

-- 5. rates: the columns are named like types and functions, unquoted
INSERT INTO `monthly totals` (`month`, `group`, `revenue.eur`)
SELECT DATE_FORMAT(date, '%Y-%m'), currency, AVG(value) FROM fx WHERE year = 2024 GROUP BY 1, 2;
SELECT MAX(timestamp) AS last_rate, year FROM FX GROUP BY year;

-- 6. hand-off
RENAME TABLE `monthly totals` TO `Monthly Totals 2024`;
SELECT * FROM `MONTHLY TOTALS 2024` WHERE `group` <> 'adjust';
USE SALES;
SELECT COUNT(*) AS n, MAX(`Placed On`) AS last_day, `Customer` FROM ORDERS GROUP BY `customer`;
