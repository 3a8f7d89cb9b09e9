-- crm_upgrade_v3.sql: schema upgrade v2 -> v3 of the crm database, with backfill.
-- Applied with: mysql --batch crm < crm_upgrade_v3.sql
-- (MySQL 8.0 primary; the same file is replayed on the MariaDB reporting replica,
--  so MariaDB-only statements are wrapped in /*M! ... */ guards.)

USE crm;

CREATE TABLE IF NOT EXISTS accounts (
  id INT PRIMARY KEY,
  name VARCHAR(100) NOT NULL,
  country CHAR(2),
  created_at DATETIME NOT NULL
);
CREATE TABLE IF NOT EXISTS contacts (
  id INT PRIMARY KEY,
  account_id INT NOT NULL,
  email VARCHAR(200),
  phone VARCHAR(40)
);
CREATE TABLE IF NOT EXISTS legacy.crm_accounts (
  acct_no INT PRIMARY KEY, acct_name VARCHAR(100), region VARCHAR(20), opened DATE
);
CREATE TABLE IF NOT EXISTS legacy.sync_queue (acct_no INT, queued_at DATETIME);

-- v3: a region next to the country, and the source system as the first column
ALTER TABLE accounts ADD COLUMN region VARCHAR(20) NULL AFTER country;
ALTER TABLE accounts ADD COLUMN source_system VARCHAR(10) NOT NULL DEFAULT 'crm' FIRST;

-- backfill from the legacy system; values in table order:
-- source_system, id, name, country, region, created_at
INSERT IGNORE INTO accounts
SELECT 'legacy', l.acct_no, l.acct_name, NULL, l.region, l.opened
  FROM legacy.crm_accounts l;

-- legacy rows inserted later are queued for the sync job
CREATE TRIGGER legacy.crm_accounts_ai AFTER INSERT ON legacy.crm_accounts FOR EACH ROW
  INSERT INTO sync_queue (acct_no, queued_at) VALUES (NEW.acct_no, NOW());

-- contacts: the phone moves next to the account, the email is renamed
ALTER TABLE contacts
  MODIFY COLUMN phone VARCHAR(40) AFTER account_id,
  CHANGE COLUMN email email_address VARCHAR(200);

-- rebuild contacts with cleaned values and swap the tables
CREATE TABLE contacts_v3 LIKE contacts;
INSERT INTO contacts_v3
SELECT c.id, c.account_id, NULLIF(TRIM(c.phone), ''), LOWER(c.email_address)
  FROM contacts c;
RENAME TABLE contacts TO contacts_v2, contacts_v3 TO contacts;

CREATE OR REPLACE VIEW v_account_contacts AS
SELECT a.id AS account_id, a.name, a.region, c.email_address AS email, c.phone
  FROM accounts a
  JOIN contacts c ON c.account_id = a.id;

-- the country becomes an ISO code column in front
ALTER TABLE accounts DROP COLUMN country, ADD COLUMN country_code CHAR(2) FIRST;
INSERT INTO accounts
VALUES ('XX', 'crm', (SELECT MAX(c.account_id) + 1 FROM contacts c), 'unassigned contacts', NULL, NOW());

/*M!100301 ANALYZE TABLE accounts, contacts PERSISTENT FOR ALL */;
