// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The device pages in headless Chromium through the front web server, signed in on the sign-in page as the operator
// and as the viewer, and signed out. Started by ./run, which brings up the stack and passes KXR_URL, KXR_CACERT,
// KXR_OPERATOR_PASSWORD, KXR_VIEWER_PASSWORD, KXR_SHOTS, KXR_SIM_PID and KXR_CLI (for the cross-check of the
// snapshots); with KXR_IDLE set (a daemon whose sessions end after 3 s idle) only a session's idle end.
import { chromium } from 'playwright-core';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import assert from 'node:assert/strict';

const { KXR_URL: url, KXR_SHOTS: shots, KXR_CACERT: cacert } = process.env, simPid = Number(process.env.KXR_SIM_PID);
const passwords = { operator: process.env.KXR_OPERATOR_PASSWORD, viewer: process.env.KXR_VIEWER_PASSWORD };
assert.ok(url && shots && simPid && passwords.viewer, 'KXR_URL, the passwords, KXR_SHOTS and KXR_SIM_PID must be set');
mkdirSync(shots, { recursive: true });

const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run'];
const profile = mkdtempSync(join(tmpdir(), 'kxr-chromium-'));
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args: FLAGS });
// One context (one cookie) per user; a page comes with the strictest policy the site may send (anything inline is
// refused), a redirect as it is.
async function userContext(width, height) {
  const context = await browser.newContext({ viewport: { width, height }, ignoreHTTPSErrors: true });
  await context.route((u) => /(\/|\.htm)$/.test(u.pathname), (route) => route.fetch({ maxRedirects: 0 }).then((response) =>
    route.fulfill({ response, headers: { ...response.headers(), 'content-security-policy': "default-src 'self'" } })));
  return context;
}
const context = await userContext(1280, 900);

let failures = 0;
const step = (name, body) => body().then(() => console.log('ok   ' + name),
  (err) => console.log('FAIL ' + name + '\n     ' + String(err.message).split('\n').join('\n     '), failures++));

const row = (page, entry) => page.locator(`tr[data-entry="${entry}"]`);
const textOf = async (page, entry, cell) => (await row(page, entry).locator('td.' + cell).textContent()).trim();
const shot = (p, name) => p.screenshot({ path: join(shots, name + '.png'), fullPage: true });
const reload = async (p = page) => { await p.reload(); await p.waitForSelector('#status.ok'); };
const status = (p) => p.locator('#status').textContent();
const statusIs = (p, re) => p.waitForFunction((src) => new RegExp(src).test(document.querySelector('#status').textContent), re.source);
const chooseFile = async (p, path) =>  // through the page's "Restore configuration" button
  (await Promise.all([p.waitForEvent('filechooser'), p.click('#restore')]))[0].setFiles(path);
const saved = join(profile, 'saved.json');

// Calls the page makes to the web service, and what the browser complains about (sessions and sign-ins refused on
// purpose aside).
const calls = [], complaints = [];
const watch = (p) => p.on('pageerror', (err) => complaints.push(err.message))
  .on('console', (m) => { if (m.type() === 'error' && !/kxr-session|kxr-signin/.test(m.location().url)) complaints.push(m.text()); });
const page = watch(await context.newPage());
page.on('request', (r) => { if (r.url().includes('/KxrWebService/KxrWebService.dll')) calls.push(r.postData() || ''); });
const viewer = await userContext(390, 844);
const session = (p) => p.locator('#session').textContent();
// A browser without a session that opens the pages lands on the sign-in page.
const atSignIn = async (p) => { await p.goto(url); assert.match(p.url(), /\/signin\.htm$/); };
const signIn = async (p, user, password = passwords[user]) => {
  await atSignIn(p);
  await p.fill('#user', user).then(() => p.fill('#password', password)).then(() => p.click('button[type=submit]'));
};
const signOut = (p) => p.click('#signout').then(() => p.waitForURL(/\/signin\.htm$/)).then(() => atSignIn(p));

try {
  if (process.env.KXR_IDLE) await step('a session ends after its idle time, and the page goes to the sign-in page', async () => {
    await signIn(page, 'operator').then(() => page.waitForSelector('#status.ok'));
    const start = Date.now();
    await page.waitForURL(/\/signin\.htm$/, { timeout: 6000 });  // before the 8 s limit, which a page keeping it going meets
    assert.ok(Date.now() - start >= 2500, 'not before the session has ended');
    await atSignIn(page);
  });
  else await steps();
  await step('the browser reported no script errors', async () => assert.deepEqual(complaints, []));
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}

async function steps() {
  await step('a wrong password is refused; signed in, the page shows the dictionary with one sum-up read', async () => {
    await signIn(page, 'operator', 'not the password').then(() => page.waitForSelector('#message.error'));
    assert.deepEqual([await page.locator('#message').textContent(), await page.inputValue('#password'),
      await page.evaluate(() => document.activeElement.id)], ['Sign-in refused: check the user name and the password.', '', 'password']);
    await shot(page, 'desktop-signin');
    await page.fill('#password', passwords.operator).then(() => page.click('button[type=submit]'));
    await page.waitForSelector('#status.ok', { timeout: 10000 });
    assert.equal(calls.length, 1);
    assert.match(calls[0], /<u:ReadWrite xmlns:u="urn:KxrWebService">.*<indexGroup>61568<\/indexGroup><indexOffset>16<\/indexOffset>/);
    const expected = [['0x1008:00', '"KXR-SIM"'], ['0x1009:00', '"1.0"'], ['0x1018:01', '305419896 (0x12345678)'],
      ['0x2000:02', '10000 (0x00002710)'], ['0x6000:02', '255 (0xFF)']];
    for (const [entry, value] of expected) assert.equal(await textOf(page, entry, 'value'), value, entry);
    assert.deepEqual([await page.locator('#device').textContent(), await session(page), await page.isVisible('#role-note')],
      ['"KXR-SIM"', 'Signed in as operator (operator)', false]);
  });

  await step('an invalid value shows an error and nothing is written, not even the valid ones', async () => {
    await reload();
    await row(page, '0x2000:01').locator('input').fill('0x4321');
    await row(page, '0x2000:03').locator('input').fill('256');  // each value rule: tests/node
    const before = calls.length;
    await page.click('#write').then(() => page.waitForSelector('#status.error'));
    assert.match(await status(page), /not valid; nothing was written/);
    assert.notEqual((await row(page, '0x2000:03').locator('.field-error').textContent()).trim(), '');
    assert.equal(calls.length, before, 'no call was made');
    await shot(page, 'desktop-invalid').then(() => reload());
    assert.equal(await textOf(page, '0x2000:01', 'value'), '0 (0x0000)');
  });

  // What the page saves is what kxr-cli saves, whose text is checked byte for byte.
  await step('"Save configuration" downloads the snapshot of every entry, as kxr-cli saves it', async () => {
    const before = calls.length;
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#save')]);
    await download.saveAs(saved);
    assert.match(download.suggestedFilename(), /^kxr-snapshot-KXR-SIM-\d{8}T\d{6}Z\.json$/);
    assert.equal(calls.length, before + 1, 'one sum-up read');
    assert.match(await status(page), /^Saved 16 entries as kxr-snapshot-KXR-SIM-.*\.json\.$/);
    const out = join(profile, 'cli.json');
    const dictionary = new URL('../../contrib/www/dictionary.json', import.meta.url).pathname;
    const run = spawnSync(process.env.KXR_CLI, ['-u', url, '--cacert', cacert, '--user', 'operator', 'save', '--dictionary', dictionary, out],
      { encoding: 'utf8', env: { ...process.env, KXR_PASSWORD: passwords.operator } });
    assert.equal(run.status, 0, 'kxr-cli save: ' + run.stdout + run.stderr);
    const untimed = (path) => readFileSync(path, 'utf8').replace(/"taken": "[^"]*"/, '"taken": ""');
    assert.equal(untimed(out), untimed(saved), 'byte for byte but the time');
  });

  await step('a write is read back; "Restore configuration" plans, asks once, writes, verifies', async () => {
    await row(page, '0x2000:01').locator('input').fill('7');
    await row(page, '0x2000:02').locator('input').fill('1');
    await row(page, '0x2100:01').locator('input').fill('FF*600');
    const wrote = calls.length;
    await page.click('#write').then(() => statusIs(page, /^Wrote 3 entries; values read back/));
    assert.equal(calls.length, wrote + 2, 'one write and one read-back');
    assert.match(calls[wrote], /<indexGroup>61569<\/indexGroup><indexOffset>3<\/indexOffset>/);
    assert.deepEqual([await textOf(page, '0x2000:01', 'value'), await textOf(page, '0x2000:01', 'result'),
      await row(page, '0x2000:01').locator('input').inputValue()], ['7 (0x0007)', 'write: Success', '']);
    const dialogs = [], before = calls.length;
    page.once('dialog', (d) => { dialogs.push(d.message()); d.accept(); });
    await chooseFile(page, saved).then(() => statusIs(page, /^Restore: /));
    assert.equal(await status(page), 'Restore: 3 written and verified; values read back.');
    assert.deepEqual(dialogs, ['Write 3 entries of saved.json to the device and read them back?']);
    assert.equal(calls.length, before + 4, 'plan read, write, read-back, the page\'s read');
    const plan = (cell) => page.locator(`tr[data-plan-entry="0x2000:01"] td.${cell}`).textContent();
    assert.deepEqual([await plan('value'), await plan('action'), await plan('result')],
      ['7 (0x0007) → 0 (0x0000)', 'change', 'written and verified']);
    assert.equal(await page.locator('#plan tbody tr.change').count(), 3);
    assert.deepEqual([await textOf(page, '0x2000:01', 'value'), await textOf(page, '0x2000:02', 'value'),
      (await textOf(page, '0x2100:01', 'value')).slice(0, 5)], ['0 (0x0000)', '10000 (0x00002710)', '00 00']);
    await shot(page, 'desktop-restore');
  });

  await step('at a phone width: clean, the restore plan too; a write; a declined restore or partial save does nothing', async () => {
    const phone = watch(await context.newPage());
    const phoneCalls = [];
    phone.on('request', (r) => { if (r.url().includes('/KxrWebService/')) phoneCalls.push(r.postData() || ''); });
    await phone.route('**/dictionary.json', async (r) => r.fulfill({ json: [...await (await r.fetch()).json(),
      { index: '0x7777', sub: '0x01', name: 'not on the device', type: 'u8', size: 1, writable: false }] }));
    await phone.setViewportSize({ width: 390, height: 844 }).then(() => phone.goto(url));
    await statusIs(phone, /^Read 17 entries, 1 failed\.$/);
    await row(phone, '0x2000:03').locator('input').fill('3');
    await phone.click('#write').then(() => statusIs(phone, /^Wrote 1 entry; values read back\.$/));
    const written = phoneCalls.length;
    const overflow = () => phone.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
    assert.ok(await overflow() <= 0, 'no sideways scrolling');
    assert.equal(await phone.locator('#entries thead').isVisible(), false, 'entries are shown as cards');
    await shot(phone, 'phone');
    const other = join(profile, 'other.json');
    writeFileSync(other, readFileSync(saved, 'utf8').replace(/"value": "1",\n(\s*)"raw": "01"\n/, '"value": "0",\n$1"raw": "00"\n'));
    const dialogs = [], downloads = [];
    phone.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss(); }).on('download', (d) => downloads.push(d));
    await chooseFile(phone, other).then(() => statusIs(phone, /^Restore cancelled; nothing was written\.$/));
    assert.ok(phoneCalls.slice(written).every((c) => /<indexGroup>61568</.test(c)), 'reads only');
    assert.equal(await phone.locator('#plan tbody tr.change').count(), 1);
    assert.ok(await overflow() <= 0, 'with the plan: no sideways scrolling');
    await phone.locator('#plan-box').screenshot({ path: join(shots, 'phone-plan.png') });
    await phone.click('#save').then(() => statusIs(phone, /^Not saved: 1 of 17 entries could not be read; nothing was downloaded\.$/));
    assert.match(dialogs[1], /^1 of 17 entries could not be read\. .* Download it anyway\?$/);
    assert.equal(downloads.length, 0);
    await phone.close();
  });

  await step('a viewer at a phone width: a refused write shows access denied; writing and restoring are off and why', async () => {
    // The site lets one address make 40 requests at once and 10 a second beyond: the rounds above used that up.
    await new Promise((resolve) => setTimeout(resolve, 4000));
    const p = watch(await viewer.newPage());
    await p.route('**/kxr-session.json', (r) => r.fulfill({ status: 404 }), { times: 1 });  // the role unknown at first
    await signIn(p, 'viewer').then(() => p.waitForSelector('#status.ok'));
    await row(p, '0x2000:01').locator('input').fill('9');
    await p.click('#write').then(() => statusIs(p, /^Access denied: your role may not change entries; nothing was written\.$/));
    assert.equal(await p.isDisabled('#write'), true);
    await reload(p);
    assert.deepEqual([await session(p), await p.locator('#role-note').textContent()], ['Signed in as viewer (viewer)',
      'Signed in as viewer (viewer): this role may only read. Writing and restoring are off; reading and saving still work.']);
    assert.deepEqual(await Promise.all(['#read', '#save', '#write', '#restore', 'tr[data-entry="0x2000:01"] input']
      .map((s) => p.isDisabled(s))), [false, false, true, true, true]);
    await shot(p, 'viewer');
    await signOut(p).then(() => shot(p, 'phone-signin'));
  });

  await step('a fault shows its faultcode and faultstring; "Sign out" ends the session', async () => {
    process.kill(simPid, 'SIGTERM');  // the simulator removes its socket
    await new Promise((resolve) => setTimeout(resolve, 500)).then(() => page.click('#read'));
    await page.waitForSelector('#status.error');
    assert.equal(await status(page), 'Reading failed: fault -324664831 (0xECA60201): Unknown error');
    assert.match(await page.locator('#entries').getAttribute('class'), /stale/, 'old values are marked');
    await shot(page, 'desktop-fault');
    await signOut(page);
  });
}

console.log(failures ? `browser test: ${failures} step(s) failed` : 'browser test: all steps passed');
process.exit(failures ? 1 : 0);
