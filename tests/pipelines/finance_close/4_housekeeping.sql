-- Finance close, job 4: the schema changes agreed for this month's close,
-- applied once the figures are in, and the view the auditors read.
--  * gl_daily_eur.amount_eur is called amount (the table's name says EUR)
--  * budget_rate_gaps loses month_start (finance reads the plan for it)
--  * currency_exposure.amount is in local currency: it is called so now
USE fin;

ALTER TABLE gl_daily_eur
  RENAME COLUMN amount_eur TO amount;

ALTER TABLE budget_rate_gaps
  DROP COLUMN month_start;

ALTER TABLE currency_exposure
  CHANGE COLUMN amount amount_local DECIMAL(16, 2) NOT NULL;

CREATE OR REPLACE VIEW v_daily_eur AS
SELECT e.account_id,
       e.day,
       e.amount
FROM gl_daily_eur AS e
WHERE e.day >= CURRENT_DATE - INTERVAL 35 DAY;
