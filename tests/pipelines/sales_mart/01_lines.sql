-- Nightly sales mart, step 1 of 3: yesterday's order lines, priced in EUR.
-- Runs as one mysql session: its temporary tables live until the file ends.
SET SESSION sql_mode = 'STRICT_TRANS_TABLES,NO_ZERO_DATE';
USE shop;

DROP TEMPORARY TABLE IF EXISTS tmp_lines;
CREATE TEMPORARY TABLE tmp_lines AS
SELECT ol.order_id,
       ol.product_id,
       ol.qty,
       ol.qty * ol.unit_price - ol.discount AS gross
FROM order_lines AS ol
JOIN orders AS o ON o.id = ol.order_id
WHERE o.created_at >= CURRENT_DATE - INTERVAL 1 DAY
  AND o.status <> 'cancelled';

DROP TEMPORARY TABLE IF EXISTS tmp_lines_eur;
CREATE TEMPORARY TABLE tmp_lines_eur AS
SELECT t.order_id,
       t.product_id,
       t.qty,
       ROUND(t.gross * fx.rate, 2) AS gross_eur,
       o.store_id,
       DATE(o.created_at) AS sale_day
FROM tmp_lines AS t
JOIN orders AS o ON o.id = t.order_id
LEFT JOIN ref.fx_rates AS fx
       ON fx.currency = o.currency AND fx.rate_day = DATE(o.created_at);

-- the margin needs the product cost
ALTER TABLE tmp_lines_eur ADD COLUMN margin_eur DECIMAL(12, 2) NULL;
UPDATE tmp_lines_eur AS t
JOIN products AS p ON p.id = t.product_id
SET t.margin_eur = t.gross_eur - t.qty * p.cost;

INSERT INTO mart.sales_lines
       (order_id, product_id, store_id, sale_day, qty, revenue_eur, margin_eur)
SELECT t.order_id, t.product_id, t.store_id, t.sale_day, t.qty, t.gross_eur, t.margin_eur
FROM tmp_lines_eur AS t;

-- refunds go in as negative lines without a product
INSERT INTO mart.sales_lines
       (order_id, product_id, store_id, sale_day, qty, revenue_eur, margin_eur)
SELECT r.order_id, NULL, o.store_id, DATE(r.refunded_at), 0, -r.amount, -r.amount
FROM refunds AS r
JOIN orders AS o ON o.id = r.order_id
WHERE r.refunded_at >= CURRENT_DATE - INTERVAL 1 DAY;

-- revenue is reported net of VAT
UPDATE mart.sales_lines AS sl
JOIN orders AS o ON o.id = sl.order_id
JOIN ref.vat_rates AS v ON v.country = o.ship_country
SET sl.revenue_eur = sl.revenue_eur / (1 + v.rate)
WHERE sl.sale_day >= CURRENT_DATE - INTERVAL 1 DAY;

DROP TEMPORARY TABLE tmp_lines_eur;
DROP TEMPORARY TABLE tmp_lines;
