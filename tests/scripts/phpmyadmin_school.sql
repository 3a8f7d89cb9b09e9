-- phpMyAdmin SQL Dump
-- version 5.2.1
-- https://www.phpmyadmin.net/
--
-- Host: localhost:3306
-- Generation Time: Mar 04, 2024 at 09:41 AM
-- Server version: 8.0.36
-- PHP Version: 8.2.16

SET SQL_MODE = "NO_AUTO_VALUE_ON_ZERO";
START TRANSACTION;
SET time_zone = "+00:00";


/*!40101 SET @OLD_CHARACTER_SET_CLIENT=@@CHARACTER_SET_CLIENT */;
/*!40101 SET @OLD_CHARACTER_SET_RESULTS=@@CHARACTER_SET_RESULTS */;
/*!40101 SET @OLD_COLLATION_CONNECTION=@@COLLATION_CONNECTION */;
/*!40101 SET NAMES utf8mb4 */;

--
-- Database: `school`
--
CREATE DATABASE IF NOT EXISTS `school` DEFAULT CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
USE `school`;

DELIMITER $$
--
-- Procedures
--
CREATE DEFINER=`root`@`localhost` PROCEDURE `recalc_grades` (IN `p_term` VARCHAR(10))   BEGIN
  DELETE FROM grade_summary WHERE term = p_term;
  INSERT INTO grade_summary (student_id, term, avg_score, courses)
  SELECT e.student_id, p_term, AVG(e.score), COUNT(DISTINCT e.course_id)
    FROM enrollments e WHERE e.term = p_term GROUP BY e.student_id;
  UPDATE students s JOIN grade_summary g ON g.student_id = s.id AND g.term = p_term
     SET s.gpa = ROUND(g.avg_score / 25, 2);
END$$

DELIMITER ;

-- --------------------------------------------------------

--
-- Table structure for table `courses`
--

CREATE TABLE `courses` (
  `id` int NOT NULL,
  `code` varchar(12) COLLATE utf8mb4_general_ci NOT NULL,
  `title` varchar(120) COLLATE utf8mb4_general_ci NOT NULL,
  `credits` tinyint NOT NULL DEFAULT '5'
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

--
-- Dumping data for table `courses`
--

INSERT INTO `courses` (`id`, `code`, `title`, `credits`) VALUES
(1, 'MAT101', 'Calculus I', 5),
(2, 'PHY110', 'Mechanics; statics & dynamics', 5),
(3, 'CS120', 'Programming -- the basics', 7);

-- --------------------------------------------------------

--
-- Table structure for table `enrollments`
--

CREATE TABLE `enrollments` (
  `student_id` int NOT NULL,
  `course_id` int NOT NULL,
  `term` varchar(10) COLLATE utf8mb4_general_ci NOT NULL,
  `score` decimal(5,2) DEFAULT NULL,
  `enrolled_at` datetime NOT NULL DEFAULT CURRENT_TIMESTAMP
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

--
-- Triggers `enrollments`
--
DELIMITER $$
CREATE TRIGGER `enrollments_ai` AFTER INSERT ON `enrollments` FOR EACH ROW INSERT INTO audit (entity, entity_id, info, at) VALUES ('enrollment', NEW.student_id, CONCAT(NEW.course_id, ':', NEW.term), NOW())
$$
DELIMITER ;

-- --------------------------------------------------------

--
-- Table structure for table `grade_summary`
--

CREATE TABLE `grade_summary` (
  `id` int NOT NULL,
  `student_id` int NOT NULL,
  `term` varchar(10) COLLATE utf8mb4_general_ci NOT NULL,
  `avg_score` decimal(5,2) DEFAULT NULL,
  `courses` int NOT NULL DEFAULT '0'
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- --------------------------------------------------------

--
-- Stand-in structure for view `v_course_load`
-- (See below for the actual view)
--
CREATE TABLE `v_course_load` (
`course_id` int
,`code` varchar(12)
,`students` bigint
,`avg_score` decimal(9,6)
);

--
-- Structure for view `v_course_load`
--
DROP TABLE IF EXISTS `v_course_load`;

CREATE ALGORITHM=UNDEFINED DEFINER=`root`@`localhost` SQL SECURITY DEFINER VIEW `v_course_load`  AS SELECT `c`.`id` AS `course_id`, `c`.`code` AS `code`, count(`e`.`student_id`) AS `students`, avg(`e`.`score`) AS `avg_score` FROM (`courses` `c` left join `enrollments` `e` on((`e`.`course_id` = `c`.`id`))) GROUP BY `c`.`id`, `c`.`code` ;

--
-- Indexes for table `courses`
--
ALTER TABLE `courses`
  ADD PRIMARY KEY (`id`),
  ADD UNIQUE KEY `code` (`code`);

--
-- Indexes for table `grade_summary`
--
ALTER TABLE `grade_summary`
  ADD PRIMARY KEY (`id`),
  ADD UNIQUE KEY `student_term` (`student_id`,`term`);

--
-- AUTO_INCREMENT for table `grade_summary`
--
ALTER TABLE `grade_summary`
  MODIFY `id` int NOT NULL AUTO_INCREMENT, AUTO_INCREMENT=1;

DELIMITER $$
--
-- Events
--
CREATE DEFINER=`root`@`localhost` EVENT `ev_nightly_summary` ON SCHEDULE EVERY 1 DAY STARTS '2024-01-01 02:00:00' ON COMPLETION NOT PRESERVE ENABLE DO REPLACE INTO grade_summary SELECT NULL, e.student_id, e.term, AVG(e.score), COUNT(*) FROM enrollments e GROUP BY e.student_id, e.term$$

DELIMITER ;
COMMIT;

/*!40101 SET CHARACTER_SET_CLIENT=@OLD_CHARACTER_SET_CLIENT */;
/*!40101 SET CHARACTER_SET_RESULTS=@OLD_CHARACTER_SET_RESULTS */;
/*!40101 SET COLLATION_CONNECTION=@OLD_COLLATION_CONNECTION */;
