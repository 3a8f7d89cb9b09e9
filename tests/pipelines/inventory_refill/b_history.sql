-- Inventory nightly, job B: the history and the reorder list, from the
-- snapshot job A took.
USE inv;

INSERT INTO stock_history (snapshot_day, sku, warehouse_id, on_hand, available)
SELECT CURRENT_DATE, sc.sku, sc.warehouse_id, sc.on_hand, sc.available
FROM stock_current AS sc;

INSERT INTO slow_mover_log (sku, last_move, logged_on)
SELECT s.sku, s.last_move, CURRENT_DATE
FROM slow_movers AS s;

-- inv.scratch_sku is the work table every job of this chain shares
TRUNCATE TABLE scratch_sku;
INSERT INTO scratch_sku (sku, qty)
SELECT sc.sku, SUM(sc.available)
FROM stock_current AS sc
GROUP BY sc.sku
HAVING SUM(sc.available) < 10;

DELETE FROM reorder_list;
INSERT INTO reorder_list (sku, title, short_qty, supplier, lead_days)
SELECT w.sku, i.title, 10 - w.qty, sup.name, sup.lead_days
FROM scratch_sku AS w
JOIN erp.items AS i ON i.sku = w.sku
JOIN erp.suppliers AS sup ON sup.id = i.supplier_id;

-- the work table again: now the quantities already on order
TRUNCATE TABLE scratch_sku;
INSERT INTO scratch_sku (sku, qty)
SELECT po.sku, SUM(po.qty_open)
FROM erp.purchase_orders AS po
WHERE po.status = 'open'
GROUP BY po.sku;

UPDATE reorder_list AS r
JOIN scratch_sku AS w ON w.sku = r.sku
SET r.on_order  = w.qty,
    r.short_qty = GREATEST(r.short_qty - w.qty, 0);
