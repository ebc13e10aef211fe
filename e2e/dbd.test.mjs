// SPDX-License-Identifier: Apache-2.0
// The users in a database that Apache reads with mod_dbd and mod_authn_dbd:
// a change through the program is what the next login sees. SQLite here;
// PostgreSQL when tests/support/private_pg.sh started one for the run
// (LARKSPUR_TEST_PGSQL), shared by two Apache front ends.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { join } from 'node:path';
import { test } from 'node:test';
import { messageText, startSite } from './harness.mjs';

const HTPASSWD = process.env.HTPASSWD || 'htpasswd';
const PGSQL = process.env.LARKSPUR_TEST_PGSQL;

// Runs SQL with the driver's own client; its output, one row a line.
function sql(driver, params, statements) {
  if (driver === 'sqlite3') {
    return execFileSync('sqlite3', ['-batch', '-bail', params], { input: statements }).toString();
  }
  return execFileSync(join(process.env.LARKSPUR_TEST_PGSQL_BIN, 'psql'),
    ['-X', '-q', '-A', '-t', '-v', 'ON_ERROR_STOP=1', '-d', params, '-c', statements]).toString();
}

function hash(user, password) {
  return execFileSync(HTPASSWD, ['-nbm', user, password]).toString().trim().split(':').slice(1).join(':');
}

function addUsers(driver, params, users) {
  sql(driver, params, users.map(([user, password]) =>
    `INSERT INTO authn VALUES ('${user}', '${hash(user, password)}');`).join('\n'));
}

test('SQLite: after a change the new password opens /private/, the old one gets 401', async (t) => {
  const site = await startSite(t, { dbd: { driver: 'sqlite3' } });
  const db = join(site.dir, 'data', 'users.db');
  addUsers('sqlite3', db, [['alice', 'old-secret']]);
  assert.equal(await site.privateStatus('alice', 'old-secret'), 200);
  const res = await site.submit({ name: 'alice', op: 'old-secret', p1: 'new-secret' });
  assert.equal(messageText(res.body), 'alice:changed password successfully');
  assert.equal(await site.privateStatus('alice', 'new-secret'), 200);
  assert.equal(await site.privateStatus('alice', 'old-secret'), 401);
});

test('PostgreSQL shared by two front ends', { skip: !PGSQL && 'no private PostgreSQL' }, async (t) => {
  sql('pgsql', PGSQL, 'DROP TABLE IF EXISTS authn; DROP TABLE IF EXISTS larkspur_failures;');
  sql('pgsql', PGSQL, execFileSync('cat', [new URL('../contrib/sql/pgsql.sql', import.meta.url).pathname]).toString());
  const dbd = { driver: 'pgsql', params: PGSQL };
  // Every request comes from 127.0.0.1: its own limit must not refuse the
  // simultaneous changes, each counted until it succeeds.
  const setup = ['max_failures_per_address = 1000'];
  const [first, second] = await Promise.all([startSite(t, { dbd, setup }), startSite(t, { dbd, setup })]);
  const fronts = [first, second];
  const USERS = 50;
  const users = Array.from({ length: USERS }, (_, i) => [`user${i}`, `old-pass-${i}`]);
  addUsers('pgsql', PGSQL, [['alice', 'old-secret'], ['carol', 'carol-old'], ['dave', 'dave-old'], ...users]);

  await t.test('a change through the first logs in at the second', async () => {
    const res = await first.submit({ name: 'alice', op: 'old-secret', p1: 'new-secret' });
    assert.equal(messageText(res.body), 'alice:changed password successfully');
    assert.equal(await second.privateStatus('alice', 'new-secret'), 200);
    assert.equal(await second.privateStatus('alice', 'old-secret'), 401);
  });

  await t.test(`${USERS} simultaneous changes of distinct users through both lose nothing`, async () => {
    const pages = await Promise.all(users.map(([user, old], i) =>
      fronts[i % 2].submit({ name: user, op: old, p1: `new-pass-${i}` })));
    pages.forEach((res, i) => assert.equal(messageText(res.body),
      `${users[i][0]}:changed password successfully`));
    const logins = await Promise.all(users.map(([user], i) =>
      fronts[(i + 1) % 2].privateStatus(user, `new-pass-${i}`)));
    assert.deepEqual(logins, users.map(() => 200));
  });

  // Each attempt counts as a failure until it succeeds: past ten at once,
  // the name's limit refuses the rest.
  await t.test(`${USERS} simultaneous changes of one user: one wins, none is torn`, async () => {
    const pages = await Promise.all(Array.from({ length: USERS }, (_, i) =>
      fronts[i % 2].submit({ name: 'carol', op: 'carol-old', p1: `carol-new-${i}` })));
    const texts = pages.map((res) => messageText(res.body));
    const winners = texts.flatMap((text, i) => (text === 'carol:changed password successfully' ? [i] : []));
    assert.equal(winners.length, 1, texts.join('\n'));
    for (const text of texts) {
      assert.ok(['carol:changed password successfully', 'carol:old password is incorrect',
        'carol:change password failed', 'Too many failed attempts, please try again later'].includes(text), text);
    }
    assert.equal(await first.privateStatus('carol', `carol-new-${winners[0]}`), 200);
    assert.equal(await second.privateStatus('carol', 'carol-old'), 401);
  });

  await t.test('the 11th wrong guess is refused whichever front end it reaches', async () => {
    for (let i = 0; i < 10; i++) {
      const res = await fronts[i % 2].submit({ name: 'dave', op: `guess-${i}`, p1: 'dave-new' });
      assert.equal(messageText(res.body), 'dave:old password is incorrect');
    }
    for (const front of fronts) {
      const res = await front.submit({ name: 'dave', op: 'dave-old', p1: 'dave-new' });
      assert.equal(messageText(res.body), 'Too many failed attempts, please try again later');
    }
    assert.equal(await first.privateStatus('dave', 'dave-old'), 200);
  });
});
