// SPDX-License-Identifier: Apache-2.0
// Simultaneous changes through Apache: the update lock must serialise the
// read-verify-rewrite of the AuthUserFile so that no change is lost.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';
import { changedMessage, messageText, startSite } from './harness.mjs';

const USERS = 40;

test(`${USERS} users change their passwords at once and every change lands`, async (t) => {
  const site = await startSite(t);
  const users = Array.from({ length: USERS }, (_, i) => ({
    name: `user${String(i).padStart(2, '0')}`,
    old: `old-pass-${i}`,
    next: `new-pass-${i}`,
  }));
  for (const u of users) site.addUser(u.name, u.old);

  const pages = await Promise.all(
    users.map((u) => site.submit({ name: u.name, op: u.old, p1: u.next })),
  );
  pages.forEach((res, i) => {
    assert.equal(res.status, 200, users[i].name);
    assert.equal(messageText(res.body), changedMessage(users[i].name));
  });

  const lines = readFileSync(site.authFile, 'latin1').split('\n').filter(Boolean);
  assert.deepEqual(lines.map((l) => l.split(':')[0]), users.map((u) => u.name),
    'every user once, in the original order');
  for (const u of users) {
    assert.ok(site.verifies(u.name, u.next), `${u.name} has the new password`);
    assert.ok(!site.verifies(u.name, u.old), `${u.name} lost the old password`);
  }
  const log = readFileSync(site.logFile, 'latin1');
  assert.equal(log.match(/:changed password\n/g)?.length, USERS);
});
