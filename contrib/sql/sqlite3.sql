-- SPDX-License-Identifier: Apache-2.0
-- The users as Apache's mod_authn_dbd reads them, and the failed checks that
-- every program on the file shares.
CREATE TABLE authn (
  "user" TEXT NOT NULL PRIMARY KEY,
  password TEXT NOT NULL
);

-- One row per failed check of an old password: kind 'n' for a user name,
-- 'a' for a client address; subject is the name or address in hex.
CREATE TABLE larkspur_failures (
  kind TEXT NOT NULL,
  subject TEXT NOT NULL,
  failed_at INTEGER NOT NULL
);
CREATE INDEX larkspur_failures_subject ON larkspur_failures (kind, subject, failed_at);
CREATE INDEX larkspur_failures_time ON larkspur_failures (failed_at);
