-- --------------------------------------------------------
-- Host:                         10.0.4.12
-- Server version:               8.0.36 - MySQL Community Server - GPL
-- Server OS:                    Linux
-- HeidiSQL Version:             12.6.0.6765
-- --------------------------------------------------------

/*!40101 SET @OLD_CHARACTER_SET_CLIENT=@@CHARACTER_SET_CLIENT */;
/*!40101 SET NAMES utf8 */;
/*!50503 SET NAMES utf8mb4 */;
/*!40103 SET @OLD_TIME_ZONE=@@TIME_ZONE */;
/*!40103 SET TIME_ZONE='+00:00' */;
/*!40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */;
/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;
/*!40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0 */;


-- Dumping database structure for fleet
CREATE DATABASE IF NOT EXISTS `fleet` /*!40100 DEFAULT CHARACTER SET utf8mb4 COLLATE utf8mb4_0900_ai_ci */ /*!80016 DEFAULT ENCRYPTION='N' */;
USE `fleet`;

-- Dumping structure for procedure fleet.close_month
DELIMITER //
CREATE PROCEDURE `close_month`(
	IN `p_month` DATE
)
    MODIFIES SQL DATA
    COMMENT 'Rolls a month of trips into vehicle_month; see //wiki/fleet'
BEGIN
	DECLARE v_rows INT DEFAULT 0;
	INSERT INTO vehicle_month (vehicle_id, month_start, trips, km, fuel_per_100km)
	SELECT t.vehicle_id, p_month, COUNT(*), SUM(t.km), ROUND(100 * SUM(t.fuel_l) / NULLIF(SUM(t.km), 0), 2)
	  FROM trips t
	 WHERE t.started_at >= p_month AND t.started_at < p_month + INTERVAL 1 MONTH
	 GROUP BY t.vehicle_id
	ON DUPLICATE KEY UPDATE trips = VALUES(trips), km = VALUES(km), fuel_per_100km = VALUES(fuel_per_100km);
	SET v_rows = ROW_COUNT();
	SELECT v_rows AS rows_closed, p_month AS month_start;
END//
DELIMITER ;

-- Dumping structure for table fleet.drivers
CREATE TABLE IF NOT EXISTS `drivers` (
  `id` int NOT NULL AUTO_INCREMENT,
  `name` varchar(80) NOT NULL,
  `licence_until` date DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB AUTO_INCREMENT=3 DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_0900_ai_ci;

-- Dumping data for table fleet.drivers: ~2 rows (approximately)
DELETE FROM `drivers`;
/*!40000 ALTER TABLE `drivers` DISABLE KEYS */;
INSERT INTO `drivers` (`id`, `name`, `licence_until`) VALUES
	(1, 'Ana Ruiz', '2027-05-31'),
	(2, 'Tom\'s "Tiny" Tran', NULL);
/*!40000 ALTER TABLE `drivers` ENABLE KEYS */;

-- Dumping structure for table fleet.trips
CREATE TABLE IF NOT EXISTS `trips` (
  `id` bigint NOT NULL AUTO_INCREMENT,
  `vehicle_id` int NOT NULL,
  `driver_id` int NOT NULL,
  `started_at` datetime NOT NULL,
  `km` decimal(8,1) NOT NULL,
  `fuel_l` decimal(6,2) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_0900_ai_ci;

-- Dumping data for table fleet.trips: ~0 rows (approximately)
DELETE FROM `trips`;

-- Dumping structure for table fleet.vehicles
CREATE TABLE IF NOT EXISTS `vehicles` (
  `id` int NOT NULL AUTO_INCREMENT,
  `plate` varchar(12) NOT NULL,
  `model` varchar(40) DEFAULT NULL,
  `km_total` decimal(10,1) NOT NULL DEFAULT '0.0',
  PRIMARY KEY (`id`)
) ENGINE=InnoDB AUTO_INCREMENT=3 DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_0900_ai_ci;

-- Dumping data for table fleet.vehicles: ~2 rows (approximately)
DELETE FROM `vehicles`;
INSERT INTO `vehicles` (`id`, `plate`, `model`, `km_total`) VALUES
	(1, 'AB-123-CD', 'Transit', 48210.5),
	(2, 'EF-456-GH', NULL, 0.0);

-- Dumping structure for view fleet.v_vehicle_usage
-- Creating temporary table to overcome VIEW dependency errors
CREATE TABLE `v_vehicle_usage` (
	`vehicle_id` INT NOT NULL,
	`plate` VARCHAR(12) NOT NULL COLLATE 'utf8mb4_0900_ai_ci',
	`drivers` BIGINT NOT NULL,
	`km` DECIMAL(30,1) NULL
) ENGINE=MyISAM;

-- Dumping structure for trigger fleet.trips_before_insert
SET @OLDTMP_SQL_MODE=@@SQL_MODE, SQL_MODE='ONLY_FULL_GROUP_BY,STRICT_TRANS_TABLES,NO_ZERO_IN_DATE,NO_ZERO_DATE,ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION';
DELIMITER //
CREATE TRIGGER `trips_before_insert` BEFORE INSERT ON `trips` FOR EACH ROW BEGIN
	IF NEW.km < 0 THEN
		SET NEW.km = 0;
	END IF;
	SET NEW.fuel_l = IFNULL(NEW.fuel_l, NEW.km * 0.08);
END//
DELIMITER ;
SET SQL_MODE=@OLDTMP_SQL_MODE;

-- Dumping structure for trigger fleet.trips_after_insert
SET @OLDTMP_SQL_MODE=@@SQL_MODE, SQL_MODE='ONLY_FULL_GROUP_BY,STRICT_TRANS_TABLES,NO_ZERO_IN_DATE,NO_ZERO_DATE,ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION';
DELIMITER //
CREATE TRIGGER `trips_after_insert` AFTER INSERT ON `trips` FOR EACH ROW UPDATE vehicles
	SET km_total = km_total + NEW.km, model = COALESCE(model, CONCAT('driver ', NEW.driver_id))
	WHERE id = NEW.vehicle_id//
DELIMITER ;
SET SQL_MODE=@OLDTMP_SQL_MODE;

-- Removing temporary table and create final VIEW structure
DROP TABLE IF EXISTS `v_vehicle_usage`;
CREATE ALGORITHM=UNDEFINED SQL SECURITY DEFINER VIEW `v_vehicle_usage` AS select `v`.`id` AS `vehicle_id`,`v`.`plate` AS `plate`,count(distinct `t`.`driver_id`) AS `drivers`,sum(`t`.`km`) AS `km` from (`fleet`.`vehicles` `v` left join `fleet`.`trips` `t` on((`t`.`vehicle_id` = `v`.`id`))) group by `v`.`id`,`v`.`plate`;

-- appended by hand: the dispatch check run after every restore
SELECT u.plate, u.km, d.name AS last_driver
  FROM v_vehicle_usage u
  JOIN trips t ON t.vehicle_id = u.vehicle_id
  JOIN drivers d ON d.id = t.driver_id
 WHERE t.started_at = (SELECT MAX(t2.started_at) FROM trips t2 WHERE t2.vehicle_id = u.vehicle_id);

/*!40103 SET TIME_ZONE=IFNULL(@OLD_TIME_ZONE, 'system') */;
/*!40101 SET SQL_MODE=IFNULL(@OLD_SQL_MODE, '') */;
/*!40014 SET FOREIGN_KEY_CHECKS=IFNULL(@OLD_FOREIGN_KEY_CHECKS, 1) */;
/*!40101 SET CHARACTER_SET_CLIENT=@OLD_CHARACTER_SET_CLIENT */;
/*!40111 SET SQL_NOTES=IFNULL(@OLD_SQL_NOTES, 1) */;
