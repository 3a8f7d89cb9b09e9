-- Marketing nightly: keeps every night's staging rows and campaign figures,
-- then clears the staging tables. Runs last, after campaign_report.sql.
USE mkt;

CREATE TABLE IF NOT EXISTS touches_archive (
  touch_id    BIGINT      NOT NULL,
  visitor     VARCHAR(64) NOT NULL,
  campaign    INT         NULL,
  source      VARCHAR(64) NULL,
  touched_at  DATETIME    NOT NULL,
  archived_on DATE        NOT NULL
);
INSERT INTO touches_archive
SELECT t.*, CURRENT_DATE
FROM stg_touches AS t;

CREATE TABLE IF NOT EXISTS conversions_archive LIKE stg_conversions;
INSERT INTO conversions_archive
SELECT * FROM stg_conversions;

INSERT INTO campaign_history (conv_day, campaign_id, channel, revenue, cost)
SELECT d.conv_day, d.campaign_id, d.channel, d.revenue, d.cost
FROM campaign_daily AS d
WHERE d.conv_day >= CURRENT_DATE - INTERVAL 1 DAY;

TRUNCATE TABLE stg_touches;
TRUNCATE TABLE stg_conversions;
