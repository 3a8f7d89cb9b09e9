-- dw_load_day.sql: daily sales load procedure, store sync and scores (MySQL 8.0)
-- run: mysql --batch < dw_load_day.sql
USE stg;
CREATE TABLE IF NOT EXISTS sales (id BIGINT PRIMARY KEY, store_id INT, sale_day DATE, qty INT, amount DECIMAL(12,2));
CREATE TABLE IF NOT EXISTS stores (store_id INT PRIMARY KEY, store_name VARCHAR(60), weight DECIMAL(5,2));

USE dw;
CREATE TABLE IF NOT EXISTS fact_sales (sale_day DATE, store_id INT, qty INT, amount DECIMAL(14,2), batch INT);
CREATE TABLE IF NOT EXISTS dim_store (store_id INT PRIMARY KEY, store_name VARCHAR(60), weight DECIMAL(5,2), synced_name VARCHAR(60));
CREATE TABLE IF NOT EXISTS store_score (store_id INT, score DECIMAL(12,2));

-- the parameter and the batch variable carry the names of fact_sales columns
DELIMITER $$
CREATE PROCEDURE load_day(IN sale_day DATE)
BEGIN
  DECLARE batch INT DEFAULT 0;
  SELECT COALESCE(MAX(f.batch), 0) + 1 AS next_batch INTO batch FROM fact_sales f;
  INSERT INTO fact_sales (sale_day, store_id, qty, amount, batch)
  SELECT sale_day, s.store_id, SUM(s.qty), SUM(s.amount), batch
    FROM stg.sales s
   WHERE s.sale_day = sale_day
   GROUP BY s.store_id;
END$$
DELIMITER ;

CALL load_day(CURDATE() - INTERVAL 1 DAY);

-- names follow the stage, the stage takes the warehouse's weight
UPDATE dim_store d
  JOIN stg.stores s ON s.store_id = d.store_id
   SET d.synced_name = d.store_name, d.store_name = s.store_name, s.weight = d.weight;

-- a scalar subquery reading a column of the outer table (`weight`: only stg.stores has it)
INSERT INTO store_score (store_id, score)
SELECT st.store_id,
       (SELECT SUM(f.amount) * weight FROM fact_sales f WHERE f.store_id = st.store_id)
  FROM stg.stores st;

-- a derived table named like a stage table
INSERT INTO store_score
SELECT sales.store_id, sales.total
  FROM (SELECT s.store_id, SUM(s.amount) AS total
          FROM stg.sales s
         GROUP BY s.store_id) AS sales;
