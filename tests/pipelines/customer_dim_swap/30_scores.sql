-- Customer dimension, job 30: raw scores, then the weighted scores built next
-- to them and swapped in; the raw ones stay as customer_scores_prev and the
-- audit keeps every score the weighting changed.
USE dw;

DROP TABLE IF EXISTS customer_scores, customer_scores_next, customer_scores_prev;

CREATE TABLE customer_scores AS
SELECT d.customer_id, d.segment, d.lifetime_spend AS spend
FROM dim_customer AS d
WHERE d.lifetime_spend IS NOT NULL;

CREATE OR REPLACE VIEW reporting.v_score_by_segment AS
SELECT s.segment, AVG(s.spend) AS avg_spend
FROM dw.customer_scores AS s
GROUP BY s.segment;

CREATE TABLE customer_scores_next AS
SELECT s.customer_id,
       s.segment,
       ROUND(s.spend * COALESCE(w.weight, 1.0), 2) AS spend
FROM customer_scores AS s
LEFT JOIN segment_weights AS w ON w.segment = s.segment;

RENAME TABLE customer_scores TO customer_scores_old,
             customer_scores_next TO customer_scores;

INSERT INTO audit.score_changes (run_day, customer_id, spend_before, spend_after)
SELECT CURRENT_DATE, o.customer_id, o.spend, n.spend
FROM customer_scores_old AS o
JOIN customer_scores AS n ON n.customer_id = o.customer_id
WHERE o.spend <> n.spend;

ALTER TABLE customer_scores_old RENAME TO customer_scores_prev;
