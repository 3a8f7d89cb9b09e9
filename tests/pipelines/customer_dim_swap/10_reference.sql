-- Customer dimension, job 10: the hand-kept reference tables, reloaded from
-- this file on every run (the values are the business's, not a system's).
USE dw;

DROP TABLE IF EXISTS segment_bands;
CREATE TABLE segment_bands (
  band_code   VARCHAR(16)   NOT NULL PRIMARY KEY,
  band_label  VARCHAR(64)   NOT NULL,
  min_spend   DECIMAL(12,2) NOT NULL,
  max_spend   DECIMAL(12,2) NOT NULL
);
INSERT INTO segment_bands (band_code, band_label, min_spend, max_spend) VALUES
  ('bronze',   'Bronze',      0,     199.99),
  ('silver',   'Silver',    200,     999.99),
  ('gold',     'Gold',     1000,    4999.99),
  ('platinum', 'Platinum', 5000, 99999999.99);

CREATE TABLE IF NOT EXISTS country_names (
  code CHAR(2)     NOT NULL PRIMARY KEY,
  name VARCHAR(80) NOT NULL
);
TRUNCATE TABLE country_names;
INSERT INTO country_names VALUES
  ('DE', 'Germany'), ('FR', 'France'), ('NL', 'Netherlands'), ('BE', 'Belgium');

DROP TABLE IF EXISTS segment_weights;
CREATE TABLE segment_weights (segment VARCHAR(64) PRIMARY KEY, weight DECIMAL(4,2));
INSERT INTO segment_weights (segment, weight)
VALUES ('Bronze', 0.80), ('Silver', 1.00), ('Gold', 1.25), ('Platinum', 1.50);
