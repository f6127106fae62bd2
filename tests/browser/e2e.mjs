// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The device pages in headless Chromium through the front web server. Started by ./run, which brings up the
// stack and passes KXR_URL, KXR_SHOTS and KXR_SIM_PID.
import { chromium } from 'playwright-core';
import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import assert from 'node:assert/strict';

const { KXR_URL: url, KXR_SHOTS: shots } = process.env, simPid = Number(process.env.KXR_SIM_PID);
assert.ok(url && shots && simPid, 'KXR_URL, KXR_SHOTS and KXR_SIM_PID must be set');
mkdirSync(shots, { recursive: true });

const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run'];
const profile = mkdtempSync(join(tmpdir(), 'kxr-chromium-'));
const context = await chromium.launchPersistentContext(profile,
  { executablePath: '/usr/bin/chromium', headless: true, args: FLAGS, viewport: { width: 1280, height: 900 } });

let failures = 0;
const step = (name, body) => body().then(() => console.log('ok   ' + name), (err) => {
  failures++;
  console.log('FAIL ' + name + '\n     ' + String(err.message).split('\n').join('\n     '));
});

const row = (page, entry) => page.locator(`tr[data-entry="${entry}"]`);
const textOf = async (page, entry, cell) => (await row(page, entry).locator('td.' + cell).textContent()).trim();
const shot = (p, name) => p.screenshot({ path: join(shots, name + '.png'), fullPage: true });
const reload = async () => { await page.reload(); await page.waitForSelector('#status.ok'); };

// Calls the page makes to the web service, and what the browser complains about.
const calls = [], complaints = [];
const page = context.pages()[0] || await context.newPage();
page.on('request', (r) => { if (r.url().includes('/KxrWebService/KxrWebService.dll')) calls.push(r.postData() || ''); });
page.on('pageerror', (err) => complaints.push(err.message));
page.on('console', (msg) => { if (msg.type() === 'error') complaints.push(msg.text()); });

try {
  await step('the page loads and shows the dictionary with one sum-up read', async () => {
    await page.goto(url);
    await page.waitForSelector('#status.ok', { timeout: 10000 });
    assert.equal(calls.length, 1);
    assert.match(calls[0], /<u:ReadWrite xmlns:u="urn:KxrWebService">.*<indexGroup>61568<\/indexGroup><indexOffset>16<\/indexOffset>/);
    const expected = [['0x1008:00', '"KXR-SIM"'], ['0x1009:00', '"1.0"'], ['0x1018:01', '305419896 (0x12345678)'],
      ['0x2000:02', '10000 (0x00002710)'], ['0x6000:02', '255 (0xFF)']];
    for (const [entry, value] of expected) assert.equal(await textOf(page, entry, 'value'), value, entry);
    assert.equal(await page.locator('#device').textContent(), '"KXR-SIM"');
  });

  await step('a write of two entries shows the new values after the read-back', async () => {
    await row(page, '0x2000:01').locator('input').fill('0x1234');
    await row(page, '0x2100:00').locator('input').fill('AB*16');
    const before = calls.length;
    await page.click('#write');
    await page.waitForFunction(() => /read back/.test(document.querySelector('#status').textContent));
    assert.equal(calls.length, before + 2, 'one write and one read-back');
    assert.match(calls[before], /<indexGroup>61569<\/indexGroup><indexOffset>2<\/indexOffset>/);
    assert.deepEqual([await textOf(page, '0x2000:01', 'value'), await textOf(page, '0x2100:00', 'value'),
      await textOf(page, '0x2000:01', 'result')], ['4660 (0x1234)', Array(16).fill('AB').join(' '), 'write: Success']);
    assert.equal(await row(page, '0x2000:01').locator('input').inputValue(), '');
    await shot(page, 'desktop');
  });

  await step('an invalid value shows an error and nothing is written, not even the valid ones', async () => {
    await reload();
    await row(page, '0x2000:01').locator('input').fill('0x4321');
    await row(page, '0x2000:03').locator('input').fill('256');  // each value rule: tests/node
    const before = calls.length;
    await page.click('#write');
    await page.waitForSelector('#status.error');
    assert.match(await page.locator('#status').textContent(), /not valid; nothing was written/);
    assert.notEqual((await row(page, '0x2000:03').locator('.field-error').textContent()).trim(), '');
    assert.equal(calls.length, before, 'no call was made');
    await shot(page, 'desktop-invalid');
    await reload();
    assert.equal(await textOf(page, '0x2000:01', 'value'), '4660 (0x1234)');
  });

  await step('the page is clean at a phone width', async () => {
    const phone = await context.newPage();
    await phone.setViewportSize({ width: 390, height: 844 }).then(() => phone.goto(url));
    await phone.waitForSelector('#status.ok');
    const overflow = await phone.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
    assert.ok(overflow <= 0, 'no sideways scrolling: ' + overflow + ' px too wide');
    assert.equal(await phone.locator('thead').isVisible(), false, 'entries are shown as cards');
    await shot(phone, 'phone');
    await phone.close();
  });

  await step('a fault shows its faultcode and faultstring', async () => {
    process.kill(simPid, 'SIGTERM');  // the simulator removes its socket
    await new Promise((resolve) => setTimeout(resolve, 500)).then(() => page.click('#read'));
    await page.waitForSelector('#status.error');
    assert.equal(await page.locator('#status').textContent(), 'Reading failed: fault -324664831 (0xECA60201): Unknown error');
    assert.match(await page.locator('#entries').getAttribute('class'), /stale/, 'old values are marked');
    await shot(page, 'desktop-fault');
  });

  await step('the browser reported no script errors', async () => assert.deepEqual(complaints, []));
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}

console.log(failures ? `browser test: ${failures} step(s) failed` : 'browser test: all steps passed');
process.exit(failures ? 1 : 0);
