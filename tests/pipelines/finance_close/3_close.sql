-- Finance close, job 3: month figures, budget against actual and the KPIs,
-- each table built from the one before it.
USE fin;

DROP TABLE IF EXISTS account_month;
CREATE TABLE account_month AS
SELECT a.code                          AS account_code,
       a.type                          AS account_type,
       DATE_FORMAT(e.day, '%Y-%m-01')  AS month_start,
       SUM(e.amount_eur)               AS actual_eur
FROM gl_daily_eur AS e
JOIN ledger.accounts AS a ON a.id = e.account_id
GROUP BY a.code, a.type, DATE_FORMAT(e.day, '%Y-%m-01');

DROP TABLE IF EXISTS budget_vs_actual;
CREATE TABLE budget_vs_actual AS
SELECT m.account_code,
       m.account_type,
       m.month_start,
       m.actual_eur,
       b.budget_eur,
       m.actual_eur - COALESCE(b.budget_eur, 0) AS variance_eur
FROM account_month AS m
LEFT JOIN budget_eur AS b
       ON b.account_code = m.account_code AND b.month_start = m.month_start;

CREATE OR REPLACE VIEW v_variances AS
SELECT * FROM budget_vs_actual WHERE variance_eur <> 0;

DROP TABLE IF EXISTS kpi_month;
CREATE TABLE kpi_month (
  month_start DATE NOT NULL PRIMARY KEY,
  revenue_eur DECIMAL(16,2),
  cost_eur    DECIMAL(16,2),
  comment     VARCHAR(255) NULL
) AS
SELECT v.month_start,
       SUM(CASE WHEN v.account_type = 'revenue' THEN v.actual_eur ELSE 0 END) AS revenue_eur,
       SUM(CASE WHEN v.account_type = 'expense' THEN v.actual_eur ELSE 0 END) AS cost_eur
FROM budget_vs_actual AS v
GROUP BY v.month_start;

INSERT INTO currency_exposure (close_day, currency, amount)
SELECT CURRENT_DATE, g.currency, SUM(g.amount)
FROM gl_daily AS g
GROUP BY g.currency;
