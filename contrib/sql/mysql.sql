-- SPDX-License-Identifier: Apache-2.0
-- The users as Apache's mod_authn_dbd reads them, and the failed checks that
-- every front end shares. InnoDB, for the row locks of SELECT ... FOR
-- UPDATE; user names compare byte for byte, as in an AuthUserFile.
CREATE TABLE authn (
  `user` VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL PRIMARY KEY,
  password VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL
) ENGINE = InnoDB;

-- One row per failed check of an old password: kind 'n' for a user name,
-- 'a' for a client address; subject is the name or address in hex.
CREATE TABLE larkspur_failures (
  kind CHAR(1) CHARACTER SET ascii NOT NULL,
  subject VARCHAR(510) CHARACTER SET ascii NOT NULL,
  failed_at BIGINT NOT NULL,
  INDEX larkspur_failures_subject (kind, subject, failed_at),
  INDEX larkspur_failures_time (failed_at)
) ENGINE = InnoDB;
