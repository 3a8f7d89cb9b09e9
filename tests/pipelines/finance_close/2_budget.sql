-- Finance close, job 2: the budget in EUR at the budget's own rates.
USE fin;

-- this session's own rate table: job 1's tmp_rates ended with job 1's session
CREATE TEMPORARY TABLE IF NOT EXISTS tmp_rates AS
SELECT br.currency, br.rate
FROM budget.rates AS br
WHERE br.fiscal_year = YEAR(CURRENT_DATE);

DROP TABLE IF EXISTS budget_eur;
CREATE TABLE budget_eur AS
SELECT p.account_code,
       p.month_start,
       p.amount * COALESCE(r.rate, 1) AS budget_eur
FROM budget.plan AS p
LEFT JOIN tmp_rates AS r ON r.currency = p.currency;

-- plan lines in a currency without a budget rate are flagged for finance
INSERT INTO budget_rate_gaps (account_code, month_start, currency)
SELECT p.account_code, p.month_start, p.currency
FROM budget.plan AS p
LEFT JOIN tmp_rates AS r ON r.currency = p.currency
WHERE r.currency IS NULL;

DROP TEMPORARY TABLE tmp_rates;
