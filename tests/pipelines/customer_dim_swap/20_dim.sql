-- Customer dimension, job 20: rebuild dw.dim_customer next to the live one,
-- then swap it in with one atomic RENAME so readers never see it half built.
USE dw;

CREATE OR REPLACE VIEW reporting.v_customer_segments AS
SELECT d.segment,
       COUNT(d.customer_id) AS customers,
       SUM(d.lifetime_spend) AS spend
FROM dw.dim_customer AS d
GROUP BY d.segment;

DROP TABLE IF EXISTS dim_customer_new;
CREATE TABLE dim_customer_new (
  customer_id    BIGINT NOT NULL PRIMARY KEY,
  email          VARCHAR(255),
  full_name      VARCHAR(200),
  country        VARCHAR(80),
  city           VARCHAR(100),
  lifetime_spend DECIMAL(14,2),
  segment        VARCHAR(64)
);

INSERT INTO dim_customer_new (customer_id, email, full_name, country, city)
SELECT c.id,
       LOWER(TRIM(c.email)),
       CONCAT_WS(' ', c.first_name, c.last_name),
       COALESCE(cn.name, c.country_code),
       a.city
FROM crm.customers AS c
LEFT JOIN country_names AS cn ON cn.code = c.country_code
LEFT JOIN crm.addresses AS a ON a.customer_id = c.id AND a.is_primary = 1
WHERE c.is_deleted = 0;

UPDATE dim_customer_new AS d
JOIN (SELECT o.customer_id, SUM(o.total) AS spend
      FROM shop.orders AS o
      WHERE o.status = 'paid'
      GROUP BY o.customer_id) AS s
  ON s.customer_id = d.customer_id
SET d.lifetime_spend = s.spend;

UPDATE dim_customer_new AS d
JOIN segment_bands AS b ON d.lifetime_spend BETWEEN b.min_spend AND b.max_spend
SET d.segment = b.band_label;

DROP TABLE IF EXISTS dim_customer_old;
RENAME TABLE dim_customer TO dim_customer_old, dim_customer_new TO dim_customer;
DROP TABLE dim_customer_old;
