// SPDX-License-Identifier: Apache-2.0
// Users in a DBM file that Apache's mod_authn_dbm reads and mod_authz_dbm
// takes groups from: after a change Apache lets the new password in, keeps
// the old one out, and still finds the user in the group.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { messageText, startSite } from './harness.mjs';

for (const type of ['db', 'gdbm', 'sdbm']) {
  test(`${type}: Apache takes the new password and the group after a change`, async (t) => {
    const site = await startSite(t, { dbm: type });
    site.addDbmUser('alice', 'oldpass1', 'staff,admins:Alice A');
    site.addDbmUser('bob', 'bobpass1', 'guests');
    assert.equal(await site.privateStatus('alice', 'oldpass1'), 200);
    assert.equal(await site.privateStatus('bob', 'bobpass1'), 401, 'not in the group');

    const res = await site.submit({ name: 'alice', op: 'oldpass1', p1: 'newpass1' });
    assert.equal(res.status, 200);
    assert.equal(messageText(res.body), 'alice:changed password successfully');
    assert.equal(await site.privateStatus('alice', 'newpass1'), 200);
    assert.equal(await site.privateStatus('alice', 'oldpass1'), 401);
    assert.ok(site.dbmVerifies('alice', 'newpass1'));
  });
}
