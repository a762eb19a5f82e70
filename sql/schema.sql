-- schema.sql - the tables of the MySQL user store: one row per account in
-- `user` and one row per finished single-player game in `scorelog`.
-- Load it into the server's database, for example:
--   mariadb -u root carvanta < sql/schema.sql
--
-- Accounts are never removed: a deleted account has is_active=0 and keeps
-- its scores. Names are compared byte for byte (VARBINARY), so "Bob" and
-- "bob" are two accounts and trailing blanks count, as in the file store.
-- Dates are the server's own "%Y-%m-%d %X" texts.

CREATE TABLE IF NOT EXISTS user (
    -- Must stay the first column: the server reads `SELECT *` rows at 0.
    id INT NOT NULL AUTO_INCREMENT,
    name VARBINARY(64) NOT NULL,
    -- MD5() of the password, 32 hex digits.
    password CHAR(32) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
    is_active TINYINT NOT NULL DEFAULT 1,
    subscribed VARCHAR(32) CHARACTER SET ascii NOT NULL DEFAULT '',
    PRIMARY KEY (id),
    -- Two sign-ups of one name on two server processes cannot both insert.
    UNIQUE KEY user_name (name)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS scorelog (
    id INT NOT NULL AUTO_INCREMENT,
    user_id INT NOT NULL,
    score INT NOT NULL,
    date VARCHAR(32) CHARACTER SET ascii NOT NULL DEFAULT '',
    PRIMARY KEY (id),
    KEY scorelog_user (user_id),
    CONSTRAINT scorelog_user_fk FOREIGN KEY (user_id) REFERENCES user (id)
        ON DELETE CASCADE
) ENGINE=InnoDB;
