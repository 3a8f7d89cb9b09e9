-- Marketing nightly: loads yesterday's touches from the web and app event
-- streams and the orders they may have led to. The scheduler runs this job
-- first, then campaign_report.sql, then archive.sql (not their name order).
USE mkt;

CREATE TABLE IF NOT EXISTS channel_map (
  utm_source VARCHAR(64) NOT NULL PRIMARY KEY,
  channel    VARCHAR(32) NOT NULL
);
REPLACE INTO channel_map (utm_source, channel) VALUES
  ('google', 'paid_search'), ('bing', 'paid_search'), ('facebook', 'paid_social'),
  ('newsletter', 'email'), ('(direct)', 'direct');

DROP TABLE IF EXISTS stg_touches;
CREATE TABLE stg_touches (
  touch_id    BIGINT      NOT NULL,
  visitor_id  VARCHAR(64) NOT NULL,
  campaign_id INT         NULL,
  utm_source  VARCHAR(64) NULL,
  touched_at  DATETIME    NOT NULL
);

INSERT INTO stg_touches (touch_id, visitor_id, campaign_id, utm_source, touched_at)
SELECT e.event_id, e.anonymous_id, e.campaign_id, e.utm_source, e.event_ts
FROM web.events AS e
WHERE e.event_type = 'landing'
  AND e.event_ts >= CURRENT_DATE - INTERVAL 1 DAY;

INSERT INTO stg_touches (touch_id, visitor_id, campaign_id, utm_source, touched_at)
SELECT a.id, a.device_id, a.campaign, COALESCE(a.referrer, '(direct)'), FROM_UNIXTIME(a.ts_epoch)
FROM app.open_events AS a
WHERE a.ts_epoch >= UNIX_TIMESTAMP(CURRENT_DATE - INTERVAL 1 DAY);

DROP TABLE IF EXISTS stg_conversions;
CREATE TABLE stg_conversions AS
SELECT o.id         AS order_id,
       o.visitor_id,
       o.total      AS revenue,
       o.created_at AS converted_at
FROM shop.orders AS o
WHERE o.created_at >= CURRENT_DATE - INTERVAL 1 DAY
  AND o.visitor_id IS NOT NULL;
