-- loyalty_routines.sql: functions, procedures and triggers of the loyalty schema (MySQL 8.0)
-- deployed with: mysql --batch < loyalty_routines.sql
CREATE DATABASE IF NOT EXISTS loyalty;
USE loyalty;

CREATE TABLE IF NOT EXISTS members (id INT PRIMARY KEY, email VARCHAR(200), tier VARCHAR(10) NOT NULL DEFAULT 'basic', points INT NOT NULL DEFAULT 0, joined_on DATE, prev_tier VARCHAR(10));
CREATE TABLE IF NOT EXISTS purchases (id BIGINT PRIMARY KEY, member_id INT NOT NULL, amount DECIMAL(10,2) NOT NULL, points INT, bought_at DATETIME);
CREATE TABLE IF NOT EXISTS point_ledger (id BIGINT AUTO_INCREMENT PRIMARY KEY, member_id INT, delta INT, reason VARCHAR(40), booked_at DATETIME);
CREATE TABLE IF NOT EXISTS tier_rules (tier VARCHAR(10) PRIMARY KEY, min_points INT, multiplier DECIMAL(4,2));
CREATE TABLE IF NOT EXISTS tier_history (member_id INT, old_tier VARCHAR(10), new_tier VARCHAR(10), changed_at DATETIME);

DELIMITER $$

CREATE FUNCTION tier_multiplier(p_tier VARCHAR(10)) RETURNS DECIMAL(4,2)
    READS SQL DATA
    RETURN (SELECT r.multiplier FROM tier_rules r WHERE r.tier = p_tier)$$

CREATE DEFINER = CURRENT_USER() FUNCTION member_tier(p_member INT) RETURNS VARCHAR(10)
    READS SQL DATA
BEGIN
  DECLARE v_points INT DEFAULT 0;
  DECLARE v_tier VARCHAR(10);
  SELECT m.points INTO v_points FROM members m WHERE m.id = p_member;
  IF v_points IS NULL THEN
    RETURN NULL;
  END IF;
  SELECT r.tier INTO v_tier FROM tier_rules r WHERE r.min_points <= v_points ORDER BY r.min_points DESC LIMIT 1;
  RETURN COALESCE(v_tier, 'basic');
END$$

-- the parameters are named like members' columns: inside the body they win
CREATE PROCEDURE add_points(IN member_id INT, INOUT points INT, IN reason VARCHAR(40))
    MODIFIES SQL DATA
body: BEGIN
  IF points IS NULL OR points = 0 THEN
    LEAVE body;
  END IF;
  INSERT INTO point_ledger (member_id, delta, reason, booked_at)
  SELECT m.id, points, reason, NOW() FROM members m WHERE m.id = member_id;
  UPDATE members m SET m.points = m.points + points WHERE m.id = member_id;
  SELECT m.points INTO points FROM members m WHERE m.id = member_id;
END body$$

CREATE PROCEDURE book_purchase(IN p_purchase BIGINT)
BEGIN
  DECLARE v_member INT;
  DECLARE v_points INT;
  SELECT p.member_id, FLOOR(p.amount * tier_multiplier(m.tier)) AS pts INTO v_member, v_points
    FROM purchases p JOIN members m ON m.id = p.member_id
   WHERE p.id = p_purchase;
  CALL add_points(v_member, v_points, 'purchase');
  UPDATE purchases SET points = v_points WHERE id = p_purchase;
END$$

CREATE PROCEDURE recompute_tiers()
BEGIN
  DECLARE v_done INT DEFAULT 0;
  DECLARE v_tier VARCHAR(10);
  DECLARE v_min INT;
  DECLARE tiers CURSOR FOR
    WITH ordered AS (SELECT r.tier, r.min_points FROM tier_rules r)
    SELECT o.tier, o.min_points FROM ordered o ORDER BY o.min_points;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_done = 1;
  OPEN tiers;
  tier_loop: LOOP
    FETCH tiers INTO v_tier, v_min;
    IF v_done THEN LEAVE tier_loop; END IF;
    member_block: BEGIN
      DECLARE v_member INT;
      DECLARE v_old VARCHAR(10);
      DECLARE v_inner_done INT DEFAULT 0;
      DECLARE members_cur CURSOR FOR
        SELECT m.id, m.tier FROM members m WHERE m.points >= v_min AND m.tier <> v_tier;
      DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_inner_done = 1;
      OPEN members_cur;
      member_loop: LOOP
        FETCH members_cur INTO v_member, v_old;
        IF v_inner_done THEN LEAVE member_loop; END IF;
        INSERT INTO tier_history (member_id, old_tier, new_tier, changed_at) VALUES (v_member, v_old, v_tier, NOW());
        UPDATE members SET tier = v_tier WHERE id = v_member;
      END LOOP member_loop;
      CLOSE members_cur;
    END member_block;
  END LOOP tier_loop;
  CLOSE tiers;
END$$

-- four triggers on purchases, ordered with FOLLOWS and PRECEDES
CREATE TRIGGER purchases_bi_points BEFORE INSERT ON purchases FOR EACH ROW
  SET NEW.points = COALESCE(NEW.points, FLOOR(NEW.amount))$$

CREATE TRIGGER purchases_bi_clamp BEFORE INSERT ON purchases FOR EACH ROW FOLLOWS purchases_bi_points
BEGIN
  IF NEW.amount < 0 THEN
    SET NEW.points = 0;
  END IF;
  SET NEW.bought_at = IFNULL(NEW.bought_at, NOW());
END$$

CREATE TRIGGER purchases_ai AFTER INSERT ON purchases FOR EACH ROW
  INSERT INTO point_ledger (member_id, delta, reason, booked_at)
  VALUES (NEW.member_id, NEW.points, CONCAT('purchase ', NEW.id), NEW.bought_at)$$

CREATE TRIGGER purchases_ai_members AFTER INSERT ON purchases FOR EACH ROW PRECEDES purchases_ai
  UPDATE members m SET m.points = m.points + NEW.points WHERE m.id = NEW.member_id$$

CREATE EVENT ev_expire_points
  ON SCHEDULE AT CURRENT_TIMESTAMP + INTERVAL 1 HOUR
  ON COMPLETION NOT PRESERVE
  DO INSERT INTO point_ledger (member_id, delta, reason, booked_at)
     SELECT m.id, -m.points, 'expiry', NOW() FROM members m WHERE m.joined_on < CURRENT_DATE - INTERVAL 3 YEAR$$

CREATE TRIGGER members_bu BEFORE UPDATE ON members FOR EACH ROW
BEGIN
  IF NEW.tier <> OLD.tier THEN
    SET NEW.prev_tier = OLD.tier;
    INSERT INTO tier_history (member_id, old_tier, new_tier, changed_at) VALUES (OLD.id, OLD.tier, NEW.tier, NOW());
  END IF;
END$$

DELIMITER ;

-- the day's figures into user variables, then used
SELECT COUNT(*), SUM(p.amount) INTO @n, @total FROM purchases p WHERE p.bought_at >= CURRENT_DATE;
UPDATE members m SET m.points = m.points + FLOOR(@total / 1000) WHERE m.tier = 'gold' AND @n > 0;
SET @top = (SELECT p.member_id FROM purchases p ORDER BY p.amount DESC LIMIT 1);
INSERT INTO point_ledger (member_id, delta, reason, booked_at) VALUES (@top, 500, 'top buyer', NOW());
CALL book_purchase(1001);
SELECT m.email, member_tier(m.id) AS tier FROM members m WHERE m.id = @top;
