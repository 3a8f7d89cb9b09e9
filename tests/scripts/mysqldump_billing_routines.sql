-- MySQL dump 10.13  Distrib 8.0.36, for Linux (x86_64)
-- mysqldump --databases billing --routines --events --triggers
-- Server version	8.0.36

/*!40101 SET @OLD_CHARACTER_SET_CLIENT=@@CHARACTER_SET_CLIENT */;
/*!50503 SET NAMES utf8mb4 */;
/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;

CREATE DATABASE /*!32312 IF NOT EXISTS*/ `billing` /*!40100 DEFAULT CHARACTER SET utf8mb4 */;
USE `billing`;

DROP TABLE IF EXISTS `customers`;
CREATE TABLE `customers` (
  `id` int NOT NULL AUTO_INCREMENT,
  `name` varchar(100) NOT NULL,
  `credit_limit` decimal(12,2) NOT NULL DEFAULT '0.00',
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_0900_ai_ci;
INSERT INTO `customers` VALUES (1,'Acme; Ltd',5000.00),(2,'O\'Brien /* END */ & Sons',0.00);

DROP TABLE IF EXISTS `invoice_audit`;
CREATE TABLE `invoice_audit` (
  `id` bigint NOT NULL AUTO_INCREMENT,
  `invoice_id` int DEFAULT NULL,
  `old_status` varchar(10) DEFAULT NULL,
  `new_status` varchar(40) DEFAULT NULL,
  `old_amount` decimal(12,2) DEFAULT NULL,
  `new_amount` decimal(12,2) DEFAULT NULL,
  `changed_at` datetime NOT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_0900_ai_ci;

DROP TABLE IF EXISTS `invoices`;
CREATE TABLE `invoices` (
  `id` int NOT NULL AUTO_INCREMENT,
  `customer_id` int NOT NULL,
  `issued_on` date NOT NULL,
  `due_on` date DEFAULT NULL,
  `amount` decimal(12,2) NOT NULL,
  `status` varchar(10) NOT NULL DEFAULT 'open',
  `paid_at` datetime DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_0900_ai_ci;
DELIMITER ;;
/*!50003 CREATE*/ /*!50017 DEFINER=`billing`@`%`*/ /*!50003 TRIGGER `invoices_bu` BEFORE UPDATE ON `invoices` FOR EACH ROW BEGIN
  IF NEW.due_on IS NULL THEN
    SET NEW.due_on = NEW.issued_on + INTERVAL 30 DAY;
  END IF;
  IF NEW.status = 'paid' AND OLD.status <> 'paid' THEN
    SET NEW.paid_at = NOW();
  ELSEIF NEW.status = 'void' THEN
    SET NEW.amount = 0, NEW.paid_at = NULL;  -- voided; END of story
  END IF;
  IF NOT (OLD.amount <=> NEW.amount) OR OLD.status <> NEW.status THEN
    INSERT INTO invoice_audit (invoice_id, old_status, new_status, old_amount, new_amount, changed_at)
    VALUES (OLD.id, OLD.status, NEW.status, OLD.amount, NEW.amount, NOW());
  END IF;
END */;;
DELIMITER ;

DROP TABLE IF EXISTS `payments`;
CREATE TABLE `payments` (
  `id` int NOT NULL AUTO_INCREMENT,
  `invoice_id` int NOT NULL,
  `paid_on` date NOT NULL,
  `amount` decimal(12,2) NOT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_0900_ai_ci;
DELIMITER ;;
/*!50003 CREATE*/ /*!50017 DEFINER=`billing`@`%`*/ /*!50003 TRIGGER `payments_ai` AFTER INSERT ON `payments` FOR EACH ROW UPDATE invoices i
   SET i.status = CASE WHEN NEW.amount >= i.amount THEN 'paid' ELSE 'partial' END
 WHERE i.id = NEW.invoice_id */;;
DELIMITER ;

DROP TABLE IF EXISTS `v_invoice_balance`;
/*!50001 DROP VIEW IF EXISTS `v_invoice_balance`*/;
/*!50001 CREATE VIEW `v_invoice_balance` AS SELECT 
 1 AS `invoice_id`,
 1 AS `customer_id`,
 1 AS `paid`,
 1 AS `open_amount`*/;

--
-- Dumping events for database 'billing'
--
DELIMITER ;;
/*!50106 CREATE*/ /*!50117 DEFINER=`billing`@`%`*/ /*!50106 EVENT `ev_credit_watch` ON SCHEDULE EVERY 1 DAY STARTS '2024-06-01 02:00:00' ON COMPLETION PRESERVE ENABLE COMMENT 'nightly; flags customers over their limit' DO BEGIN
  DELETE FROM invoice_audit WHERE changed_at < NOW() - INTERVAL 400 DAY;
  INSERT INTO invoice_audit (invoice_id, new_status, new_amount, changed_at)
  SELECT NULL, CONCAT('over limit: ', c.name), c.credit_limit, NOW() FROM customers c WHERE c.credit_limit < 0;
END */ ;;
DELIMITER ;

--
-- Dumping routines for database 'billing'
--
DELIMITER ;;
CREATE DEFINER=`billing`@`%` FUNCTION `open_amount`(p_invoice INT) RETURNS decimal(12,2)
    READS SQL DATA
    DETERMINISTIC
    COMMENT 'amount still due; 0 when void'
BEGIN
  DECLARE v_amount DECIMAL(12,2) DEFAULT 0;
  DECLARE v_paid DECIMAL(12,2) DEFAULT 0;
  SELECT i.amount INTO v_amount FROM invoices i WHERE i.id = p_invoice AND i.status <> 'void';
  SELECT COALESCE(SUM(p.amount), 0) INTO v_paid FROM payments p WHERE p.invoice_id = p_invoice;
  RETURN GREATEST(v_amount - v_paid, 0);
END ;;
DELIMITER ;

/*!50001 DROP VIEW IF EXISTS `v_invoice_balance`*/;
/*!50001 CREATE ALGORITHM=UNDEFINED */
/*!50013 DEFINER=`billing`@`%` SQL SECURITY DEFINER */
/*!50001 VIEW `v_invoice_balance` AS select `i`.`id` AS `invoice_id`,`i`.`customer_id` AS `customer_id`,coalesce(sum(`p`.`amount`),0) AS `paid`,`billing`.`open_amount`(`i`.`id`) AS `open_amount` from (`billing`.`invoices` `i` left join `billing`.`payments` `p` on((`p`.`invoice_id` = `i`.`id`))) group by `i`.`id` */;
/*!50001 CREATE ALGORITHM=UNDEFINED */
/*!50013 DEFINER=`billing`@`%` SQL SECURITY DEFINER */
/*!50001 VIEW `v_customer_exposure` AS select `c`.`id` AS `customer_id`,count(`b`.`invoice_id`) AS `open_invoices`,(`c`.`credit_limit` - sum(`b`.`open_amount`)) AS `headroom` from (`billing`.`customers` `c` join `billing`.`v_invoice_balance` `b` on((`b`.`customer_id` = `c`.`id`))) where (`b`.`open_amount` > 0) group by `c`.`id` */;
/*!40101 SET SQL_MODE=@OLD_SQL_MODE */;

-- Dump completed on 2024-06-02  2:00:01
