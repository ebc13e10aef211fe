// SPDX-License-Identifier: Apache-2.0
// The new-password rules on the real site in a real browser: the modern form
// names the rules under the new-password box, a refused password shows its
// own reason, and axe-core finds no violation on either page.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { chmodSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { launchChromium, startSite } from './harness.mjs';

const AXE_SOURCE = readFileSync(
  createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

async function axeViolations(page) {
  await page.evaluate(AXE_SOURCE);
  const result = await page.evaluate(() => window.axe.run(document));
  return result.violations.map((v) => `${v.id}: ${v.help}`);
}

test('the form shows the rules and a refusal its reason', async (t) => {
  const dir = mkdtempSync(join(tmpdir(), 'larkspur-rules-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  chmodSync(dir, 0o755);
  const list = join(dir, 'breached.txt');
  const sha1 = (text) => createHash('sha1').update(text).digest('hex').toUpperCase();
  writeFileSync(list, [`${sha1('password1')}:24230577`, `${sha1('qwertyuiop')}:5`]
    .sort().map((line) => `${line}\r\n`).join(''));
  chmodSync(list, 0o644);
  const site = await startSite(t, {
    layout: 'modern', charset: 'UTF-8', minLength: 8,
    setup: ['password_context = yes', `breached_passwords = ${list}`,
      'password_quality = /etc/security/pwquality.conf'],
  });
  site.addUser('alice', 'oldpass-77');
  const page = await (await launchChromium(t)).newPage();
  await page.goto(site.cgiUrl);
  const rules = 'At least 8 characters. Not a common or breached password. ' +
    'Not your user name nor your old password.';
  assert.equal(await page.locator('#p1').getAttribute('aria-describedby'), 'p1-rules');
  assert.equal(await page.locator('#p1-rules').textContent(), rules);
  assert.deepEqual(await axeViolations(page), [], 'form');

  const refusals = [
    ['password1', 'The new password is in a list of passwords known from data breaches; ' +
      'choose another'],
    ['my-alice-99', 'The new password must not contain your user name'],
    ['elephants', 'The new password is too easy to guess: The password fails the dictionary ' +
      'check - it is based on a dictionary word'],
  ];
  for (const [password, reason] of refusals) {
    await page.goto(site.cgiUrl);
    await page.fill('#name', 'alice');
    await page.fill('#op', 'oldpass-77');
    await page.fill('#p1', password);
    await page.fill('#p2', password);
    await page.click('button[type=submit]');
    await page.locator('[role=alert]').waitFor();
    assert.equal(await page.locator('[role=alert]').textContent(), reason);
    assert.deepEqual(await axeViolations(page), [], password);
  }
  assert.ok(site.verifies('alice', 'oldpass-77'));
});
