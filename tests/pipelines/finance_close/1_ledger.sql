-- Finance close, job 1: yesterday's general-ledger movements in EUR.
USE fin;

DROP TEMPORARY TABLE IF EXISTS tmp_rates;
CREATE TEMPORARY TABLE tmp_rates AS
SELECT f.currency, f.rate_to_eur AS rate
FROM ref.fx AS f
WHERE f.day = CURRENT_DATE - INTERVAL 1 DAY;

-- a temporary working copy under the name of the permanent fin.gl_daily
CREATE TEMPORARY TABLE gl_daily AS
SELECT jl.account_id,
       DATE(jl.posted_at) AS day,
       jl.currency,
       SUM(jl.amount)     AS amount
FROM ledger.journal_lines AS jl
WHERE jl.posted_at >= CURRENT_DATE - INTERVAL 1 DAY
GROUP BY jl.account_id, DATE(jl.posted_at), jl.currency;

UPDATE gl_daily AS g
JOIN tmp_rates AS r ON r.currency = g.currency
SET g.amount = g.amount * r.rate;

INSERT INTO gl_daily_eur (account_id, day, amount_eur)
SELECT g.account_id, g.day, SUM(g.amount)
FROM gl_daily AS g
GROUP BY g.account_id, g.day
ON DUPLICATE KEY UPDATE amount_eur = VALUES(amount_eur);

DROP TEMPORARY TABLE gl_daily;

-- from here on gl_daily is the permanent table the other jobs read
REPLACE INTO gl_daily (account_id, day, currency, amount)
SELECT jl.account_id, DATE(jl.posted_at), jl.currency, SUM(jl.amount)
FROM ledger.journal_lines AS jl
WHERE jl.posted_at >= CURRENT_DATE - INTERVAL 1 DAY
GROUP BY jl.account_id, DATE(jl.posted_at), jl.currency;
