-- analytics/refresh_scores.sql: weekly customer scoring (MySQL 8.0)
-- owner: data-eng;  run: mysql analytics < refresh_scores.sql

CREATE DATABASE IF NOT EXISTS web;
CREATE DATABASE IF NOT EXISTS analytics;
USE analytics;

CREATE TABLE IF NOT EXISTS web.sessions (
  id BIGINT PRIMARY KEY, customer_id INT NOT NULL, started_at DATETIME NOT NULL,
  pageviews INT NOT NULL DEFAULT 0, device VARCHAR(10)
);
CREATE TABLE IF NOT EXISTS web.events (
  id BIGINT PRIMARY KEY, session_id BIGINT NOT NULL, customer_id INT NOT NULL,
  occurred_at DATETIME NOT NULL, payload JSON
);
CREATE TABLE IF NOT EXISTS web.categories (id INT PRIMARY KEY, parent_id INT NULL, name VARCHAR(60) NOT NULL);
CREATE TABLE IF NOT EXISTS customer_scores (
  customer_id INT PRIMARY KEY, score DECIMAL(5,2) NOT NULL DEFAULT 0,
  tier VARCHAR(10) NOT NULL DEFAULT 'new', events_30d INT NOT NULL DEFAULT 0, last_seen DATETIME
);
CREATE TABLE IF NOT EXISTS category_paths (category_id INT PRIMARY KEY, path VARCHAR(500), depth INT);
CREATE TABLE IF NOT EXISTS session_ranks (customer_id INT, session_id BIGINT, visit_no INT, running_views INT);
CREATE TABLE IF NOT EXISTS basket_lines (event_id BIGINT, sku VARCHAR(20), qty INT, tag VARCHAR(20));
CREATE TABLE IF NOT EXISTS device_summary (device VARCHAR(10), customers INT, pageviews INT);

-- 1. activity of the last 30 days, from a derived table
UPDATE customer_scores cs
  JOIN (SELECT e.customer_id, COUNT(*) AS n, MAX(e.occurred_at) AS last_at
          FROM web.events e
         WHERE e.occurred_at >= NOW() - INTERVAL 30 DAY
         GROUP BY e.customer_id) AS recent ON recent.customer_id = cs.customer_id
   SET cs.events_30d = recent.n,
       cs.last_seen = GREATEST(COALESCE(cs.last_seen, recent.last_at), recent.last_at);

-- 2. score, then tier from the new score
UPDATE customer_scores
   SET score = LEAST(100, score + events_30d * 0.5),
       tier = CASE
                WHEN score >= 80 THEN 'gold'
                WHEN score >= 50 THEN 'silver'
                WHEN last_seen IS NULL THEN tier  -- never seen: keep it; END is no keyword here
                ELSE 'bronze'
              END;

-- 3. lapse the oldest first, in batches
UPDATE customer_scores SET tier = 'lapsed', events_30d = 0
 WHERE last_seen < NOW() - INTERVAL 180 DAY
 ORDER BY last_seen
 LIMIT 1000;

-- 4. category breadcrumbs
INSERT INTO category_paths (category_id, path, depth)
WITH RECURSIVE tree (id, path, depth) AS (
  SELECT c.id, CAST(c.name AS CHAR(500)), 1 FROM web.categories c WHERE c.parent_id IS NULL
  UNION ALL
  SELECT ch.id, CONCAT(t.path, ' > ', ch.name), t.depth + 1
    FROM web.categories ch JOIN tree t ON ch.parent_id = t.id
)
SELECT id, path, depth FROM tree;

-- 5. visit number and running page views per customer
REPLACE INTO session_ranks
SELECT s.customer_id, s.id,
       ROW_NUMBER() OVER (PARTITION BY s.customer_id ORDER BY s.started_at),
       SUM(s.pageviews) OVER w
  FROM web.sessions s
WINDOW w AS (PARTITION BY s.customer_id ORDER BY s.started_at ROWS UNBOUNDED PRECEDING);

-- 6. basket lines out of the event payload
INSERT INTO basket_lines (event_id, sku, qty, tag)
SELECT e.id, jt.sku, jt.qty, jt.tag
  FROM web.events e,
       JSON_TABLE(e.payload, '$.lines[*]' COLUMNS (
         sku VARCHAR(20) PATH '$.sku',
         qty INT PATH '$.qty' DEFAULT '1' ON EMPTY,
         NESTED PATH '$.tags[*]' COLUMNS (tag VARCHAR(20) PATH '$')
       )) AS jt
 WHERE e.payload->>'$.type' = 'basket';

-- 7. devices, with a grand total row
INSERT INTO device_summary (device, customers, pageviews)
SELECT IF(GROUPING(s.device), 'ALL', s.device), COUNT(DISTINCT s.customer_id), SUM(s.pageviews)
  FROM web.sessions s
 GROUP BY s.device WITH ROLLUP;

-- 8. spot check of the gold tier (run by hand)
SELECT cs.customer_id, cs.tier, recent.avg_views, recent.sessions
  FROM customer_scores cs
  JOIN LATERAL (
        SELECT AVG(s.pageviews) AS avg_views, COUNT(*) AS sessions
          FROM web.sessions s
         WHERE s.customer_id = cs.customer_id AND s.started_at >= cs.last_seen - INTERVAL 7 DAY
       ) AS recent ON TRUE
 WHERE cs.tier = 'gold'\G
SELECT tier, COUNT(*) AS customers FROM customer_scores GROUP BY tier ORDER BY tier;

-- 9. customers per tier threshold; MySQL names the inline table's columns column_0, column_1
SELECT t.*, COUNT(cs.customer_id) AS customers
  FROM (VALUES ROW('gold', 80), ROW('silver', 50), ROW('bronze', 0)) AS t
  LEFT JOIN customer_scores cs ON cs.tier = t.column_0 AND cs.score >= t.column_1
 GROUP BY t.column_0, t.column_1;
