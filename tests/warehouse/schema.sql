-- What mysqldump --no-data writes, trimmed.
CREATE TABLE `orders` (
  `id` int NOT NULL AUTO_INCREMENT,
  `customer_id` int NOT NULL,
  `amount` decimal(10,2) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE `customers` (
  `id` int NOT NULL,
  `email` varchar(200) DEFAULT NULL,
  `segment` varchar(20) DEFAULT NULL
) ENGINE=InnoDB;

CREATE TABLE `store_dim` (
  `store_key` int NOT NULL,
  `store_name` varchar(100)
);
