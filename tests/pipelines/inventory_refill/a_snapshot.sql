-- Inventory nightly, job A: the stock snapshot from the ERP.
-- inv.stock_current is refreshed in full; the view inv.v_stock_value reads it.
USE inv;

TRUNCATE TABLE stock_current;
INSERT INTO stock_current (sku, warehouse_id, on_hand, available, value_eur)
SELECT s.sku,
       s.warehouse_id,
       s.on_hand,
       s.on_hand - s.reserved,
       s.on_hand * i.unit_cost
FROM erp.stock_levels AS s
JOIN erp.items AS i ON i.sku = s.sku
WHERE s.counted_at >= CURRENT_DATE - INTERVAL 1 DAY;

CREATE OR REPLACE VIEW v_stock_value AS
SELECT sc.warehouse_id,
       SUM(sc.value_eur) AS value_eur,
       SUM(sc.available) AS available
FROM stock_current AS sc
GROUP BY sc.warehouse_id;

-- slow movers, in the layout the old dashboard reads
DROP TABLE IF EXISTS slow_movers;
CREATE TABLE slow_movers (
  sku       VARCHAR(32) NOT NULL PRIMARY KEY,
  last_move DATETIME    NULL,
  on_hand   INT         NOT NULL
);
INSERT INTO slow_movers (sku, last_move, on_hand)
SELECT sc.sku, MAX(m.moved_at), SUM(sc.on_hand)
FROM stock_current AS sc
LEFT JOIN wms.movements AS m ON m.sku = sc.sku
GROUP BY sc.sku
HAVING MAX(m.moved_at) < CURRENT_DATE - INTERVAL 90 DAY OR MAX(m.moved_at) IS NULL;
