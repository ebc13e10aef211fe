// SPDX-License-Identifier: Apache-2.0
// larkspur.cgi behind a real Apache: the form, a change and what it does to
// the basic-auth login, refused changes, and markup in a user name.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';
import { changedMessage, incorrectMessage, messageText, startSite } from './harness.mjs';

test('the form page comes over HTTP with every field, and the INI file is not served', async (t) => {
  const site = await startSite(t);
  const res = await fetch(site.cgiUrl);
  const body = await res.text();
  assert.equal(res.status, 200);
  assert.match(res.headers.get('content-type'), /^text\/html/);
  assert.match(body, /charset=gb2312/);
  assert.match(body, /<form method="POST" enctype="multipart\/form-data" {2}action="\/cgi-bin\/larkspur\.cgi">/);
  for (const field of ['name', 'op', 'p1', 'p2', 'chgpasswd']) {
    assert.match(body, new RegExp(`name="${field}"`), `field ${field}`);
  }
  assert.match(body, /<TITLE>Change your password<\/TITLE>/);

  const ini = await fetch(`${site.base}/cgi-bin/larkspur.cgi.ini`);
  assert.equal(ini.status, 403);
  assert.doesNotMatch(await ini.text(), /auth_user_file/);
});

test('a change through the form: the new password opens /private/, the old one no longer', async (t) => {
  const site = await startSite(t);
  site.addUser('alice', 'oldpass1');
  site.addUser('bob', 'bobpass1');
  assert.equal(await site.privateStatus('alice', 'oldpass1'), 200);
  assert.equal(await site.privateStatus('alice', 'newpass1'), 401);
  const bobLine = readFileSync(site.authFile, 'latin1').split('\n')[1];

  const res = await site.submit({ name: 'alice', op: 'oldpass1', p1: 'newpass1' });
  assert.equal(res.status, 200);
  assert.match(res.headers.get('content-type'), /^text\/html/);
  assert.equal(messageText(res.body), changedMessage('alice'));

  assert.equal(await site.privateStatus('alice', 'newpass1'), 200);
  assert.equal(await site.privateStatus('alice', 'oldpass1'), 401);
  assert.equal(await site.privateStatus(), 401);
  assert.ok(site.verifies('alice', 'newpass1'));
  const lines = readFileSync(site.authFile, 'latin1').split('\n');
  assert.match(lines[0], /^alice:\$apr1\$/);
  assert.equal(lines[1], bobLine, 'the other user is untouched');
  assert.match(readFileSync(site.logFile, 'latin1'), /alice:changed password\n$/);
  assert.doesNotMatch(readFileSync(site.logFile, 'latin1'), /newpass1|oldpass1/);
});

test('a refused change leaves the AuthUserFile byte for byte as it was', async (t) => {
  const site = await startSite(t);
  site.addUser('alice', 'oldpass1');
  const before = readFileSync(site.authFile);
  const cases = [
    { why: 'wrong old password', form: { name: 'alice', op: 'wrong', p1: 'newpass1' },
      text: incorrectMessage('alice') },
    { why: 'unknown user', form: { name: 'mallory', op: 'oldpass1', p1: 'newpass1' },
      text: incorrectMessage('mallory') },
    { why: 'user name in other case', form: { name: 'Alice', op: 'oldpass1', p1: 'newpass1' },
      text: incorrectMessage('Alice') },
    { why: 'confirmation differs', form: { name: 'alice', op: 'oldpass1', p1: 'newpass1', p2: 'NEWPASS1' },
      text: 'Two new passwords are not matched' },
    { why: 'new password too short', form: { name: 'alice', op: 'oldpass1', p1: 'abc' },
      text: "Password's length must greater than 4" },
    { why: 'no user name', form: { name: '', op: 'oldpass1', p1: 'newpass1' },
      text: 'Please enter user name' },
  ];
  for (const { why, form, text } of cases) {
    const res = await site.submit(form);
    assert.equal(res.status, 200, why);
    assert.equal(messageText(res.body), text, why);
    assert.match(res.body, /<a href="\/cgi-bin\/larkspur\.cgi">back<\/a>/, why);
    assert.deepEqual(readFileSync(site.authFile), before, why);
  }
  assert.equal(await site.privateStatus('alice', 'oldpass1'), 200);
});

test('a user name with markup comes back escaped', async (t) => {
  const site = await startSite(t);
  const eve = '<i>eve</i>&"x"';
  site.addUser(eve, 'evepass1');
  const cases = [
    { form: { name: '<script>alert(1)</script>', op: 'x', p1: 'newpass1' },
      text: incorrectMessage('<script>alert(1)</script>'), raw: '<script>' },
    { form: { name: eve, op: 'evepass1', p1: 'newpass1' },
      text: changedMessage(eve), raw: '<i>' },
  ];
  for (const { form, text, raw } of cases) {
    const res = await site.submit(form);
    assert.equal(res.status, 200);
    assert.ok(!res.body.includes(raw), `raw markup on the page: ${res.body}`);
    assert.match(res.body, /&lt;/);
    assert.equal(messageText(res.body), text);
  }
  assert.ok(site.verifies(eve, 'newpass1'));
});
