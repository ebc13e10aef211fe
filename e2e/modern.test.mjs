// SPDX-License-Identifier: Apache-2.0
// The modern layout in a real browser on the real site: axe-core finds no
// accessibility violation on the form, a failure or a success, in light and
// dark; a phone lays the page out at its own width with big enough boxes;
// a visitor changes the password with the keyboard alone.
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { chromium } from 'playwright-core';
import { ARTIFACTS, changedMessage, incorrectMessage, startSite } from './harness.mjs';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const AXE_SOURCE = readFileSync(
  createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

const PHONE = { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true };
const DESKTOP = { viewport: { width: 1280, height: 800 } };

let browser;
before(async () => {
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--no-first-run', '--disable-sync'],
  });
  mkdirSync(ARTIFACTS, { recursive: true });
});
after(async () => {
  await browser?.close();
});

async function newPage(t, options) {
  const context = await browser.newContext(options);
  t.after(() => context.close());
  return context.newPage();
}

// A modern site with user alice (password oldpass1), minimum length 6.
async function modernSite(t) {
  const site = await startSite(t, { layout: 'modern', charset: 'UTF-8', minLength: 6 });
  site.addUser('alice', 'oldpass1');
  return site;
}

async function fillForm(page, { name, op, p1, p2 = p1 }) {
  await page.fill('#name', name);
  await page.fill('#op', op);
  await page.fill('#p1', p1);
  await page.fill('#p2', p2);
}

async function axeViolations(page) {
  await page.evaluate(AXE_SOURCE);
  const result = await page.evaluate(() => window.axe.run(document));
  return result.violations.map(
    (v) => `${v.id}: ${v.help} (${v.nodes.map((n) => n.target).join(', ')})`);
}

test('the response carries the modern headers and the page its landmarks', async (t) => {
  const site = await modernSite(t);
  const res = await fetch(site.cgiUrl);
  assert.equal(res.status, 200);
  assert.equal(res.headers.get('content-type'), 'text/html; charset=utf-8');
  assert.equal(res.headers.get('cache-control'), 'no-store');
  assert.equal(res.headers.get('x-content-type-options'), 'nosniff');
  assert.equal(res.headers.get('referrer-policy'), 'no-referrer');
  const csp = res.headers.get('content-security-policy');
  assert.match(csp, /default-src 'none'/);
  assert.match(csp, /frame-ancestors 'none'/);
  assert.match(csp, /form-action 'self'/);
  assert.doesNotMatch(csp, /script-src/);
  const body = await res.text();
  assert.ok(body.startsWith('<!DOCTYPE html>\n<html lang="en">\n'), body.slice(0, 80));
});

test('axe-core finds no violation on the form, a failure or a success', async (t) => {
  const site = await modernSite(t);
  let password = 'oldpass1';
  for (const [size, device] of [['phone', PHONE], ['desktop', DESKTOP]]) {
    for (const colorScheme of ['light', 'dark']) {
      const where = `${size}, ${colorScheme}`;
      const page = await newPage(t, { ...device, colorScheme });
      await page.goto(site.cgiUrl);
      assert.equal(await page.evaluate(() => document.compatMode), 'CSS1Compat');
      assert.deepEqual(await axeViolations(page), [], `form, ${where}`);

      await fillForm(page, { name: 'alice', op: 'wrong-one', p1: 'newpass1' });
      await page.click('button[type=submit]');
      await page.locator('[role=alert]').waitFor();
      assert.equal(await page.locator('[role=alert]').textContent(),
        incorrectMessage('alice'));
      assert.deepEqual(await axeViolations(page), [], `failure, ${where}`);
      await page.click('a:has-text("back")');
      await page.locator('form').waitFor();

      const next = `new-${size}-${colorScheme}`;
      await fillForm(page, { name: 'alice', op: password, p1: next });
      await page.click('button[type=submit]');
      await page.locator('[role=status]').waitFor();
      assert.equal(await page.locator('[role=status]').textContent(),
        changedMessage('alice'));
      assert.deepEqual(await axeViolations(page), [], `success, ${where}`);
      assert.ok(site.verifies('alice', next));
      password = next;
      await page.screenshot({ path: join(ARTIFACTS, `modern-success-${size}-${colorScheme}.png`),
        fullPage: true });
    }
  }
});

test('a failure and a success look different', async (t) => {
  const site = await modernSite(t);
  const page = await newPage(t, DESKTOP);
  const look = (selector) => page.locator(selector).evaluate((el) => {
    const style = getComputedStyle(el);
    return `${style.backgroundColor} ${style.color} ${getComputedStyle(el, '::before').content}`;
  });
  await page.goto(site.cgiUrl);
  await fillForm(page, { name: 'alice', op: 'oldpass1', p1: 'newpass1', p2: 'other-one' });
  await page.click('button[type=submit]');
  const failure = await look('[role=alert]');
  await page.goto(site.cgiUrl);
  await fillForm(page, { name: 'alice', op: 'oldpass1', p1: 'newpass1' });
  await page.click('button[type=submit]');
  const success = await look('[role=status]');
  assert.notEqual(failure, success);
});

test('from 320 to 1280 px the page fits its width, with boxes and text big enough', async (t) => {
  const site = await modernSite(t);
  const sizes = [
    { width: 320, height: 640, isMobile: true },
    { width: 390, height: 844, isMobile: true },
    { width: 768, height: 1024, isMobile: true },
    { width: 1280, height: 800, isMobile: false },
  ];
  for (const { width, height, isMobile } of sizes) {
    const page = await newPage(t, { viewport: { width, height }, isMobile, hasTouch: isMobile });
    for (const url of [site.cgiUrl, `${site.cgiUrl}?chgpasswd=1&name=${'x'.repeat(80)}`]) {
      await page.goto(url);
      const m = await page.evaluate(() => ({
        innerWidth: window.innerWidth,
        scrollWidth: document.documentElement.scrollWidth,
        inputs: [...document.querySelectorAll('input, button')].map((el) => ({
          name: el.name || el.type,
          height: el.getBoundingClientRect().height,
          font: parseFloat(getComputedStyle(el).fontSize),
        })),
      }));
      const where = `${width}px, ${url}`;
      // Without the viewport meta a phone lays the page out 980 px wide.
      assert.equal(m.innerWidth, width, where);
      assert.ok(m.scrollWidth <= width, `${where}: scrolls sideways (${m.scrollWidth})`);
      for (const input of m.inputs) {
        assert.ok(input.height >= 44, `${where}: ${input.name} is ${input.height} px high`);
        assert.ok(input.font >= 16, `${where}: ${input.name} has ${input.font} px text`);
      }
    }
  }
});

test('a visitor changes the password with the keyboard alone', async (t) => {
  const site = await modernSite(t);
  const page = await newPage(t, PHONE);
  await page.goto(site.cgiUrl);
  const typed = [['name', 'alice'], ['op', 'oldpass1'], ['p1', 'keyboard1'], ['p2', 'keyboard1']];
  for (const [id, text] of typed) {
    await page.keyboard.press('Tab');
    assert.equal(await page.evaluate(() => document.activeElement.id), id);
    await page.keyboard.type(text);
  }
  await page.screenshot({ path: join(ARTIFACTS, 'modern-keyboard-focus.png') });
  await Promise.all([page.waitForNavigation(), page.keyboard.press('Enter')]);
  assert.equal(await page.locator('[role=status]').textContent(),
    changedMessage('alice'));
  assert.ok(site.verifies('alice', 'keyboard1'));
});

test('the browser refuses a too short new password before sending it', async (t) => {
  const site = await modernSite(t);
  const page = await newPage(t, PHONE);
  await page.goto(site.cgiUrl);
  await fillForm(page, { name: 'alice', op: 'oldpass1', p1: 'short' });
  await page.click('button[type=submit]');
  assert.equal(await page.locator('#p1').evaluate((el) => el.validity.tooShort), true);
  assert.equal(await page.locator('form').count(), 1);
  assert.ok(site.verifies('alice', 'oldpass1'));
});

test('screenshots: light and dark, phone and desktop', async (t) => {
  const site = await modernSite(t);
  const shots = [
    ['phone', PHONE],
    ['desktop', DESKTOP],
  ];
  for (const [size, device] of shots) {
    for (const colorScheme of ['light', 'dark']) {
      const page = await newPage(t, { ...device, colorScheme });
      await page.goto(site.cgiUrl);
      await page.screenshot({ path: join(ARTIFACTS, `modern-form-${size}-${colorScheme}.png`),
        fullPage: true });
      await fillForm(page, { name: 'alice', op: 'not-it', p1: 'newpass1' });
      await page.click('button[type=submit]');
      await page.screenshot({ path: join(ARTIFACTS, `modern-failure-${size}-${colorScheme}.png`),
        fullPage: true });
    }
  }
});

// The pictures in the README: each layout as a phone shows it.
test('the classic layout, unchanged, is what axe-core and the phone complain about', async (t) => {
  const classic = await startSite(t);
  const modern = await modernSite(t);
  const shots = [['classic', classic], ['modern', modern]];
  for (const [layout, site] of shots) {
    const page = await newPage(t, { viewport: { width: 390, height: 600 }, isMobile: true });
    await page.goto(site.cgiUrl);
    await page.screenshot({ path: join(ARTIFACTS, `readme-${layout}.png`) });
    const violations = (await axeViolations(page)).map((v) => v.split(':')[0]);
    const width = await page.evaluate(() => window.innerWidth);
    if (layout === 'classic') {
      assert.ok(violations.includes('label'), violations.join(', '));
      assert.ok(width > 390, `classic lays out ${width} px wide`);
    } else {
      assert.deepEqual(violations, []);
      assert.equal(width, 390);
    }
  }
});
