-- Inventory nightly, job C: today's warehouse movements applied on top of the
-- snapshot, and the slow movers in their new layout (one row per warehouse).
USE inv;

CREATE TEMPORARY TABLE tmp_moves AS
SELECT m.sku,
       m.warehouse_id,
       SUM(CASE WHEN m.kind = 'in' THEN m.qty ELSE -m.qty END) AS delta
FROM wms.movements AS m
WHERE m.moved_at >= CURRENT_DATE
GROUP BY m.sku, m.warehouse_id;

CREATE TEMPORARY TABLE tmp_stock AS
SELECT sc.sku,
       sc.warehouse_id,
       sc.on_hand + COALESCE(t.delta, 0)   AS on_hand,
       sc.available + COALESCE(t.delta, 0) AS available
FROM stock_current AS sc
LEFT JOIN tmp_moves AS t ON t.sku = sc.sku AND t.warehouse_id = sc.warehouse_id;

DELETE FROM stock_current;
INSERT INTO stock_current (sku, warehouse_id, on_hand, available, value_eur)
SELECT ts.sku, ts.warehouse_id, ts.on_hand, ts.available, ts.on_hand * i.unit_cost
FROM tmp_stock AS ts
JOIN erp.items AS i ON i.sku = ts.sku;

DROP TABLE slow_movers;
CREATE TABLE slow_movers (
  sku          VARCHAR(32) NOT NULL,
  warehouse_id INT         NOT NULL,
  days_idle    INT         NULL,
  PRIMARY KEY (sku, warehouse_id)
);
INSERT INTO slow_movers
SELECT sc.sku, sc.warehouse_id, DATEDIFF(CURRENT_DATE, MAX(m.moved_at))
FROM stock_current AS sc
LEFT JOIN wms.movements AS m ON m.sku = sc.sku AND m.warehouse_id = sc.warehouse_id
GROUP BY sc.sku, sc.warehouse_id
HAVING MAX(m.moved_at) < CURRENT_DATE - INTERVAL 90 DAY;
