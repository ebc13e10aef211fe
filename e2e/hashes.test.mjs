// SPDX-License-Identifier: Apache-2.0
// New passwords as Apache will check them: every hash scheme through Apache's
// own basic authentication, and a password with accents typed into the form
// in Chromium, then used by Chromium to log in.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';
import { changedMessage, launchChromium, messageText, startSite } from './harness.mjs';

const NEW_PASSWORD = 'Grüße-2026';

// Fills in and submits the form in the browser; returns the message shown.
async function changeInBrowser(page, site, oldPassword, newPassword) {
  const res = await page.goto(site.cgiUrl);
  assert.equal(res.status(), 200);
  await page.fill('input[name="name"]', 'alice');
  await page.fill('input[name="op"]', oldPassword);
  await page.fill('input[name="p1"]', newPassword);
  await page.fill('input[name="p2"]', newPassword);
  await Promise.all([page.waitForNavigation(), page.click('input[name="chgpasswd"]')]);
  return (await page.locator('td').first().textContent()).trim();
}

async function privateStatusInBrowser(t, site, password) {
  const context = await launchChromium(t, { username: 'alice', password });
  const page = context.pages()[0] ?? (await context.newPage());
  const res = await page.goto(site.privateUrl);
  return res.status();
}

test('UTF-8 pages: a password with accents changed in Chromium opens the private page', async (t) => {
  const site = await startSite(t, { charset: 'UTF-8' });
  site.addUser('alice', 'oldpass1');

  const context = await launchChromium(t);
  const page = context.pages()[0] ?? (await context.newPage());
  assert.equal(await changeInBrowser(page, site, 'oldpass1', NEW_PASSWORD),
    changedMessage('alice'));
  assert.ok(site.verifies('alice', NEW_PASSWORD), 'stored as the UTF-8 bytes of the password');

  assert.equal(await privateStatusInBrowser(t, site, NEW_PASSWORD), 200);
  assert.equal(await privateStatusInBrowser(t, site, 'oldpass1'), 401);
});

test('GB2312 pages: the same change is refused and the file is untouched', async (t) => {
  const site = await startSite(t);
  site.addUser('alice', 'oldpass1');
  const before = readFileSync(site.authFile);

  const context = await launchChromium(t);
  const page = context.pages()[0] ?? (await context.newPage());
  assert.equal(await changeInBrowser(page, site, 'oldpass1', NEW_PASSWORD),
    'The new password holds characters that cannot be used here');
  assert.deepEqual(readFileSync(site.authFile), before);
  assert.match(readFileSync(site.logFile, 'latin1'),
    /\] New password has characters that cannot be used\n$/);
  assert.equal(await privateStatusInBrowser(t, site, 'oldpass1'), 200);
});

test('every hash scheme: Apache accepts the new password and refuses the old one', async (t) => {
  const site = await startSite(t);
  const schemes = [
    ['md5', '$apr1$'], ['bcrypt', '$2y$05$'], ['sha256', '$5$'], ['sha512', '$6$'],
    ['yescrypt', '$y$'], ['keep', '$2y$'],
  ];
  for (const [scheme, prefix] of schemes) {
    const user = `u_${scheme}`;
    // Under keep the user's bcrypt hash (htpasswd -B) stays bcrypt.
    if (scheme === 'keep') {
      site.addUser(user, 'oldpass1', '-B');
    } else {
      site.addUser(user, 'oldpass1');
    }
    site.writeIni(`${site.iniPaths()}[setup]\nhash = ${scheme}\n`);
    assert.equal(await site.privateStatus(user, 'oldpass1'), 200, scheme);

    const res = await site.submit({ name: user, op: 'oldpass1', p1: 'newpass1' });
    assert.equal(messageText(res.body), changedMessage(user), scheme);
    const line = readFileSync(site.authFile, 'latin1').split('\n').find((l) => l.startsWith(`${user}:`));
    assert.ok(line.slice(user.length + 1).startsWith(prefix), `${scheme}: ${line}`);
    assert.equal(await site.privateStatus(user, 'newpass1'), 200, scheme);
    assert.equal(await site.privateStatus(user, 'oldpass1'), 401, scheme);
  }
});
