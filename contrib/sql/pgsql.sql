-- SPDX-License-Identifier: Apache-2.0
-- The users as Apache's mod_authn_dbd reads them, and the failed checks that
-- every front end shares. In PostgreSQL "user" is a keyword: quote it in
-- the queries, e.g. SELECT password FROM authn WHERE "user" = %s
CREATE TABLE authn (
  "user" VARCHAR(255) NOT NULL PRIMARY KEY,
  password VARCHAR(255) NOT NULL
);

-- One row per failed check of an old password: kind 'n' for a user name,
-- 'a' for a client address; subject is the name or address in hex.
CREATE TABLE larkspur_failures (
  kind CHAR(1) NOT NULL,
  subject VARCHAR(510) NOT NULL,
  failed_at BIGINT NOT NULL
);
CREATE INDEX larkspur_failures_subject ON larkspur_failures (kind, subject, failed_at);
CREATE INDEX larkspur_failures_time ON larkspur_failures (failed_at);
