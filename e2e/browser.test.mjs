// SPDX-License-Identifier: Apache-2.0
// A real browser on the real site: headless Chromium fills in and submits
// the form, then logs in to the private page with the new password. The
// pages declare GB2312, so a label configured in GB2312 must show as Chinese.
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { ARTIFACTS, changedMessage, launchChromium, startSite } from './harness.mjs';

// 用户名 ("user name") and 修改 ("change") in GB2312.
const YOUR_NAME_GB2312 = [0xd3, 0xc3, 0xbb, 0xa7, 0xc3, 0xfb];
const BTN_CHANGE_GB2312 = [0xd0, 0xde, 0xb8, 0xc4];

test('a visitor changes the password in the browser and logs in with the new one', async (t) => {
  const site = await startSite(t);
  site.addUser('alice', 'oldpass1');
  site.writeIni(Buffer.concat([
    Buffer.from(`${site.iniPaths()}[setup]\npassword_min_length = 6\n[html]\ntitle = Larkspur\nyour_name = `),
    Buffer.from(YOUR_NAME_GB2312),
    Buffer.from('\nbtn_change = '),
    Buffer.from(BTN_CHANGE_GB2312),
    Buffer.from('\n'),
  ]));
  mkdirSync(ARTIFACTS, { recursive: true });

  const context = await launchChromium(t, { username: 'alice', password: 'newpass1' });
  const page = context.pages()[0] ?? (await context.newPage());
  const res = await page.goto(site.cgiUrl);
  assert.equal(res.status(), 200);
  assert.equal(await page.title(), 'Larkspur');
  const label = page.locator('tr:has(input[name="name"]) td.t_text');
  assert.equal(await label.textContent(), '用户名');
  assert.equal(await page.locator('input[name="chgpasswd"]').inputValue(), '修改');
  await page.screenshot({ path: join(ARTIFACTS, 'form.png'), fullPage: true });

  await page.fill('input[name="name"]', 'alice');
  await page.fill('input[name="op"]', 'oldpass1');
  await page.fill('input[name="p1"]', 'newpass1');
  await page.fill('input[name="p2"]', 'newpass1');
  await page.click('input[name="chgpasswd"]');
  await page.getByText('changed password successfully').waitFor();
  assert.equal(await page.locator('td').first().textContent(),
    '\n' + changedMessage('alice'));
  await page.screenshot({ path: join(ARTIFACTS, 'result.png'), fullPage: true });

  const priv = await page.goto(site.privateUrl);
  assert.equal(priv.status(), 200);
  assert.equal(await page.locator('h1').textContent(), 'Private page');
  await page.screenshot({ path: join(ARTIFACTS, 'private.png'), fullPage: true });
  assert.ok(site.verifies('alice', 'newpass1'));
});
