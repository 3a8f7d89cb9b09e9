-- Month-end maintenance of the CRM schema.
-- Written against a server with lower_case_table_names=1 (table names and
-- aliases in any case).

CREATE DATABASE IF NOT EXISTS crm;
USE crm;

CREATE TABLE IF NOT EXISTS accounts (
  id         INT PRIMARY KEY,
  name       VARCHAR(100) NOT NULL,
  region     VARCHAR(20) NOT NULL,
  balance    DECIMAL(12,2) NOT NULL DEFAULT 0,
  credit     DECIMAL(12,2) NOT NULL DEFAULT 0,
  updated_at DATETIME
);
CREATE TABLE IF NOT EXISTS payments (
  id         INT PRIMARY KEY,
  account_id INT NOT NULL,
  amount     DECIMAL(12,2) NOT NULL,
  fee        DECIMAL(12,2) NOT NULL DEFAULT 0,
  paid_at    DATETIME NOT NULL
);
CREATE TABLE IF NOT EXISTS Orders (
  id         INT PRIMARY KEY,
  account_id INT NOT NULL,
  Total      DECIMAL(12,2) NOT NULL,
  status     VARCHAR(40) NOT NULL,
  placed_at  DATETIME NOT NULL
);
CREATE TABLE IF NOT EXISTS region_stats (
  region     VARCHAR(20) PRIMARY KEY,
  accounts   INT,
  balance    DECIMAL(14,2),
  updated_at DATETIME
);
CREATE TABLE IF NOT EXISTS events (
  id         INT PRIMARY KEY,
  account_id INT NOT NULL,
  kind       VARCHAR(20) NOT NULL,
  payload    JSON
);
CREATE TABLE IF NOT EXISTS t (a INT PRIMARY KEY, b INT, c INT);
CREATE TABLE IF NOT EXISTS totals (a INT PRIMARY KEY, b INT, c INT);

-- ---------------------------------------------------------------- updates
UPDATE accounts SET balance = balance + credit, updated_at = NOW() WHERE region = 'EU';

UPDATE accounts a
  JOIN payments p ON p.account_id = a.id
   SET a.balance = a.balance - p.amount - p.fee,
       p.fee = 0
 WHERE p.paid_at >= '2024-05-01';

UPDATE accounts a, Orders o
   SET a.updated_at = o.placed_at,
       o.status = CONCAT(o.status, '/', a.region)
 WHERE o.account_id = a.id AND o.status = 'open';

UPDATE region_stats rs
  JOIN (SELECT region, COUNT(*) AS n, SUM(balance) AS total
          FROM accounts
         GROUP BY region) agg ON agg.region = rs.region
   SET rs.accounts = agg.n,
       rs.balance = agg.total,
       rs.updated_at = NOW();

UPDATE accounts a
   SET a.credit = (SELECT COALESCE(SUM(p.amount), 0)
                     FROM payments p
                    WHERE p.account_id = a.id)
 WHERE a.region = 'US';

-- ---------------------------------------------------------------- inserts
INSERT INTO region_stats (region, accounts, balance, updated_at)
VALUES ('APAC',
        (SELECT COUNT(*) FROM accounts WHERE region = 'APAC'),
        (SELECT SUM(a.balance) FROM accounts a WHERE a.region = 'APAC'),
        NOW());

INSERT INTO accounts (id, name, region, balance)
VALUES (1, 'Acme', 'EU', 100.00),
       (2, 'Globex', 'US', (SELECT COALESCE(MAX(p.amount), 0) FROM payments p)),
       (3, 'Initech; Ltd', 'US', 0);

INSERT INTO payments
   SET id = 900,
       account_id = (SELECT MIN(id) FROM accounts WHERE region = 'EU'),
       amount = 12.50,
       paid_at = NOW();

REPLACE INTO region_stats
    SET region = 'EU',
        accounts = 0,
        balance = (SELECT SUM(balance) FROM accounts WHERE region = 'EU'),
        updated_at = NOW();

INSERT INTO totals TABLE t;

INSERT INTO totals (a, b)
SELECT t.a, t.b FROM t WHERE t.c IS NOT NULL
ON DUPLICATE KEY UPDATE b = VALUES(b) + t.c, c = t.a;

INSERT INTO totals (a, b, c)
VALUES (7, 1, (SELECT MAX(t.c) FROM t)) AS new
ON DUPLICATE KEY UPDATE b = new.b + new.c;

INSERT LOW_PRIORITY IGNORE INTO region_stats (region, accounts, balance, updated_at)
SELECT a.region, COUNT(1), SUM(a.balance), MAX(a.updated_at)
  FROM accounts a
 GROUP BY a.region;

-- ---------------------------------------------------------------- queries
SELECT o.id, O.Total AS order_total, A.Name
  FROM Orders O
  JOIN accounts A ON A.id = o.account_id
 WHERE o.status = 'paid';

SELECT o.id, o.total, o.status
  FROM Orders o
 WHERE o.placed_at >= '2024-05-01'
  INTO OUTFILE '/var/lib/mysql-files/orders_2024_05.csv'
  FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSED BY '"'
  LINES TERMINATED BY '\n';

SELECT e.id, jt.sku, jt.qty
  FROM events e,
       JSON_TABLE(e.payload, '$.items[*]'
         COLUMNS (sku VARCHAR(32) PATH '$.sku',
                  qty INT PATH '$.qty' DEFAULT '1' ON EMPTY)) AS jt
 WHERE e.kind = 'order';

-- accounts that never paid
SELECT a.id, a.name FROM accounts a
EXCEPT
SELECT p.account_id, a2.name FROM payments p JOIN accounts a2 ON a2.id = p.account_id;

SELECT MAX(x.a), MIN(x.b) INTO @m, @n FROM t x WHERE x.c > 0;

SELECT SUM(p.amount) FROM payments p WHERE p.paid_at >= '2024-05-01' INTO @v;
