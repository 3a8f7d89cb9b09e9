-- Marketing nightly: last-touch attribution per campaign and day, after
-- load_touches.sql has filled the staging tables.
USE mkt;

CREATE TEMPORARY TABLE tmp_last_touch AS
SELECT c.order_id,
       c.revenue,
       DATE(c.converted_at) AS conv_day,
       (SELECT t.touch_id
        FROM stg_touches AS t
        WHERE t.visitor_id = c.visitor_id AND t.touched_at <= c.converted_at
        ORDER BY t.touched_at DESC
        LIMIT 1) AS touch_id
FROM stg_conversions AS c;

DELETE FROM campaign_daily WHERE conv_day >= CURRENT_DATE - INTERVAL 1 DAY;

INSERT INTO campaign_daily (conv_day, campaign_id, channel, orders, revenue)
SELECT lt.conv_day,
       campaign_id,
       COALESCE(cm.channel, 'other'),
       COUNT(lt.order_id),
       SUM(lt.revenue)
FROM tmp_last_touch AS lt
JOIN stg_touches AS t ON t.touch_id = lt.touch_id
LEFT JOIN channel_map AS cm ON cm.utm_source = t.utm_source
GROUP BY lt.conv_day, campaign_id, cm.channel;

UPDATE campaign_daily AS d
JOIN ads.campaign_costs AS k ON k.campaign_id = d.campaign_id AND k.cost_day = d.conv_day
SET d.cost = k.spend,
    d.roas = d.revenue / NULLIF(k.spend, 0);

CREATE OR REPLACE VIEW v_channel_roas AS
SELECT d.channel,
       SUM(d.revenue) AS revenue,
       SUM(d.cost)    AS cost,
       SUM(d.revenue) / NULLIF(SUM(d.cost), 0) AS roas
FROM campaign_daily AS d
GROUP BY d.channel;
