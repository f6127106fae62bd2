// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Device dictionary page: reads every entry of dictionary.json in one
// sum-up read, writes the edited ones in one sum-up write and reads
// everything back; saves all entries to a snapshot file and restores one.
// Shows who is signed in and signs out; a role that may not write gets a
// page that only reads and saves; goes to the sign-in page once the session
// has ended. Plain JavaScript, no build step, nothing inline (the site
// sends default-src 'self'); the web-service calls, the value codecs and the
// snapshots are kxr-client.js's.
import {
  KxrFault, SnapshotError, formatValue, hex, isAccessDenied, mayWrite, meaning, parseValue, planRestore, readEntries,
  readSession, restore, saveSnapshot, signOut, snapshotText, writeEntries,
} from './kxr-client.js';

// The service has no listing call, so the entries shown are data served
// beside the page: index, sub-index, name, type, size, writable.
let ENTRIES = [];
let DICTIONARY = [];  // as served, for the snapshots

function entryName(e) {
  return hex(e.index, 4) + ':' + e.sub.toString(16).toUpperCase().padStart(2, '0');
}

async function loadDictionary() {
  const answer = await fetch('dictionary.json', { cache: 'no-store' });
  if (!answer.ok) throw new Error('dictionary.json: HTTP ' + answer.status);
  DICTIONARY = await answer.json();
  return DICTIONARY.map((e) => ({
    index: Number(e.index), sub: Number(e.sub), name: e.name, type: e.type, size: e.size, rw: e.writable === true,
  }));
}

const rows = new Map();  // entry -> its cells
const statusBox = document.getElementById('status');
const readButton = document.getElementById('read');
const writeButton = document.getElementById('write');
const buttons = ['read', 'write', 'save', 'restore'].map((id) => document.getElementById(id));

// --- who is signed in ------------------------------------------------------------------

// null: no session document (pages served without the daemon), full access
// as ever; a user of null (root on the daemon's socket) shows no sign-in
// either. writable turns false for a role that may not write, or once the
// daemon denied a call; it never turns back until the page is loaded again.
let session = null;
let writable = true;

function showSession(found) {
  session = found;
  if (session?.user) {
    const shown = document.getElementById('session');
    shown.textContent = 'Signed in as ' + session.user + ' (' + session.role + ')';
    shown.hidden = document.getElementById('signout').hidden = false;
  }
  if (!mayWrite(session)) readOnly();
}

// Every request restarts the session's idle time on the daemon, so after
// each action the page asks again how long it has left. Asked a second
// after that time, the daemon answers 401 and readSession goes to the
// sign-in page, unless another page of the session kept it going.
let sessionTimer;
async function keepTime() {
  const left = (await readSession())?.secondsLeft;
  clearTimeout(sessionTimer);
  if (left != null) sessionTimer = setTimeout(keepTime, (left + 1) * 1000);
}

// Turns writing and restoring off and says why.
function readOnly() {
  writable = false;
  const note = document.getElementById('role-note');
  note.textContent = (session && session.role !== 'operator'
    ? 'Signed in as ' + session.user + ' (' + session.role + '): this role may ' +
      (session.role === 'viewer' ? 'only read' : 'not change entries')
    : 'Access denied: this sign-in may not change entries') +
    '. Writing and restoring are off; reading and saving still work.';
  note.hidden = false;
  applyRole();
}

function applyRole() {
  if (writable) return;
  writeButton.disabled = true;
  document.getElementById('restore').disabled = true;
  for (const input of document.querySelectorAll('#entries input')) input.disabled = true;
}

function setStatus(kind, text) {
  statusBox.className = 'status ' + kind;
  statusBox.textContent = text;
}

function codeText(code) {
  return hex(code, 8) + ' ' + meaning(code);
}

function setResult(cells, code, what) {
  cells.result.textContent = code === 0 ? what + ': ' + meaning(0) : what + ': ' + codeText(code);
  cells.result.className = 'result ' + (code === 0 ? 'ok' : 'bad');
}

function cell(tr, label, className) {
  const td = document.createElement('td');
  td.dataset.label = label;
  if (className) td.className = className;
  tr.appendChild(td);
  return td;
}

function buildTable() {
  const body = document.querySelector('#entries tbody');
  for (const e of ENTRIES) {
    const tr = document.createElement('tr');
    tr.dataset.entry = entryName(e);
    cell(tr, 'Entry', 'entry').textContent = entryName(e);
    cell(tr, 'Name', 'name').textContent = e.name;
    // A box of limited height inside the cell: long byte values scroll.
    const value = document.createElement('div');
    value.className = 'box';
    cell(tr, 'Value', 'value').appendChild(value);
    const edit = cell(tr, 'New value', 'edit');
    const cells = { value, result: cell(tr, 'Result', 'result'), input: null, error: null };
    if (e.rw) {
      const input = document.createElement('input');
      input.type = 'text';
      input.spellcheck = false;
      input.setAttribute('aria-label', 'New value of ' + entryName(e) + ' ' + e.name);
      input.placeholder = e.type === 'bytes' ? e.size + ' bytes, hex' : e.type;
      const error = document.createElement('div');
      error.className = 'field-error';
      input.addEventListener('input', () => { error.textContent = ''; input.classList.remove('invalid'); });
      edit.append(input, error);
      cells.input = input;
      cells.error = error;
    } else {
      edit.textContent = 'read-only';
      edit.classList.add('readonly');
    }
    rows.set(e, cells);
    body.appendChild(tr);
  }
}

// The daemon refused a call to the signed-in role: the page only reads from
// now on. changing: whether the call would have changed entries.
function showDenied(what, changing) {
  readOnly();
  setStatus('error', 'Access denied: your role may not ' + (changing ? 'change entries; nothing was written.'
    : 'read entries (' + what.toLowerCase() + ' failed).'));
}

function showFailure(what, err, changing = false) {
  if (isAccessDenied(err))
    showDenied(what, changing);
  else if (err instanceof KxrFault)
    setStatus('error', what + ' failed: fault ' + err.faultcode + ' (' + hex(err.faultcode, 8) + '): ' + err.faultstring);
  else
    setStatus('error', what + ' failed: ' + err.message);
}

// Reads everything and shows it; the result column keeps write results
// unless keepResults is false.
async function readAll(keepResults) {
  const table = document.getElementById('entries');
  let results;
  try {
    results = await readEntries(ENTRIES.map((e) => ({ index: e.index, sub: e.sub, length: e.size })));
  } catch (err) {
    table.classList.add('stale');  // the values shown are no longer known to be current
    throw err;
  }
  table.classList.remove('stale');
  ENTRIES.forEach((e, i) => {
    const cells = rows.get(e);
    const r = results[i];
    cells.value.textContent = r.bytes.length ? formatValue(e.type, r.bytes) : '—';
    cells.value.title = r.bytes.length + (r.bytes.length === 1 ? ' byte' : ' bytes');
    if (!keepResults || r.code !== 0) setResult(cells, r.code, 'read');
    if (e.index === 0x1008 && r.code === 0) document.getElementById('device').textContent = formatValue(e.type, r.bytes);
  });
  return results.filter((r) => r.code !== 0).length;
}

async function busy(work) {
  for (const b of buttons) b.disabled = true;
  try {
    await work();
  } finally {
    for (const b of buttons) b.disabled = false;
    applyRole();
    keepTime();
  }
}

async function onRead() {
  setStatus('busy', 'Reading…');
  try {
    const failed = await readAll(false);
    setStatus(failed ? 'warn' : 'ok', 'Read ' + ENTRIES.length + ' entries' +
      (failed ? ', ' + failed + ' failed.' : '.'));
  } catch (err) {
    showFailure('Reading', err);
  }
}

async function onWrite() {
  if (!writable) return;
  const items = [];
  let invalid = 0;
  for (const [e, cells] of rows) {
    if (!cells.input || cells.input.value.trim() === '') continue;
    const parsed = parseValue(e.type, cells.input.value, e.size);
    if (parsed.error) {
      invalid++;
      cells.input.classList.add('invalid');
      cells.error.textContent = parsed.error;
    } else {
      items.push({ index: e.index, sub: e.sub, bytes: parsed.bytes, cells });
    }
  }
  if (invalid) {
    setStatus('error', invalid + (invalid === 1 ? ' value is' : ' values are') + ' not valid; nothing was written.');
    return;
  }
  if (!items.length) {
    setStatus('warn', 'Nothing to write: fill in a new value first.');
    return;
  }
  setStatus('busy', 'Writing…');
  let codes;
  try {
    codes = (await writeEntries(items)).map((r) => r.code);
  } catch (err) {
    showFailure('Writing', err, true);
    return;
  }
  items.forEach((it, i) => {
    setResult(it.cells, codes[i], 'write');
    if (codes[i] === 0) it.cells.input.value = '';
  });
  const failed = codes.filter((c) => c !== 0).length;
  const summary = 'Wrote ' + items.length + (items.length === 1 ? ' entry' : ' entries') +
    (failed ? ', ' + failed + ' failed' : '') + '; ';
  try {
    await readAll(true);
    setStatus(failed ? 'warn' : 'ok', summary + 'values read back.');
  } catch (err) {
    showFailure(summary + 'reading back', err);
  }
}

// --- save and restore --------------------------------------------------------------

// kxr-snapshot-KXR-SIM-20261207T103000Z.json: the device and the time, in
// characters every file system takes.
function snapshotFileName(snapshot) {
  const device = (snapshot.device.name ?? '').replace(/[^A-Za-z0-9._-]+/g, '_').replace(/^[._]+/, '') || 'device';
  return 'kxr-snapshot-' + device + '-' + snapshot.taken.replace(/[-:]/g, '') + '.json';
}

async function onSave() {
  setStatus('busy', 'Reading every entry for the snapshot…');
  let snapshot;
  try {
    snapshot = await saveSnapshot(DICTIONARY);
  } catch (err) {
    showFailure('Saving', err);
    return;
  }
  const failed = snapshot.entries.filter((e) => 'code' in e).length;
  if (snapshot.device.partial) {  // marked when any entry failed
    const ask = failed + ' of ' + snapshot.entries.length + ' entries could not be read. The file keeps them with ' +
      'their code, and a restore leaves them as they are. Download it anyway?';
    if (!window.confirm(ask)) {
      setStatus('warn', 'Not saved: ' + failed + ' of ' + snapshot.entries.length +
        ' entries could not be read; nothing was downloaded.');
      return;
    }
  }
  const name = snapshotFileName(snapshot);
  const url = URL.createObjectURL(new Blob([snapshotText(snapshot)], { type: 'application/json' }));
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  link.hidden = true;
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);  // the download has long taken its copy by then
  setStatus(failed ? 'warn' : 'ok', 'Saved ' + snapshot.entries.length + ' entries as ' + name +
    (failed ? '; ' + failed + ' could not be read and are kept with their code.' : '.'));
}

const ACTIONS = {
  change: 'change', unchanged: 'unchanged', 'read-only': 'read-only, differs: not written',
  unknown: 'unknown to the device: not written', skipped: 'not read at save time: not written',
};

const element = (tag, className, text) => Object.assign(document.createElement(tag), { className, textContent: text });

// A plan row's value as read now, or as in the file.
function shown(row, what) {
  if (what === 'raw') return row.raw ? formatValue(row.type, row.raw) : '—';
  return row.current.code === 0 ? formatValue(row.type, row.current.bytes) : codeText(row.current.code);
}

function showPlan(plan, fileName) {
  document.getElementById('plan-file').textContent = fileName;
  const body = document.querySelector('#plan tbody');
  body.replaceChildren();
  const cells = [];
  for (const r of plan.rows) {
    const tr = document.createElement('tr');
    tr.dataset.planEntry = r.label;
    tr.className = r.action;
    cell(tr, 'Entry', 'entry').textContent = r.label;
    cell(tr, 'Name', 'name').textContent = r.name;
    // Old and new in boxes of their own: a long byte value scrolls without hiding the other.
    const values = cell(tr, 'Old → new', 'value');
    if (r.action === 'change' || r.action === 'read-only')
      values.append(element('div', 'box', shown(r, 'current')), element('span', 'arrow', ' → '),
        element('div', 'box', shown(r, 'raw')));
    else if (r.action === 'skipped') values.append(element('div', 'box', Number.isInteger(r.code) ? codeText(r.code) : '—'));
    else values.append(element('div', 'box', shown(r, 'raw')));
    cell(tr, 'Action', 'action').textContent = ACTIONS[r.action];
    cells.push(cell(tr, 'Result', 'result'));
    body.appendChild(tr);
  }
  const c = plan.counts;
  document.getElementById('plan-summary').textContent = c.change + ' to change, ' + c.unchanged + ' unchanged, ' +
    c['read-only'] + ' read-only that differ, ' + c.unknown + ' unknown to the device, ' + c.skipped +
    ' not read at save time.';
  document.getElementById('plan-box').hidden = false;
  return cells;
}

async function onRestoreFile(file) {
  if (!writable) return;
  document.getElementById('plan-box').hidden = true;
  setStatus('busy', 'Checking ' + file.name + '…');
  let plan;
  try {
    plan = await planRestore(await file.text(), DICTIONARY);
  } catch (err) {
    if (err instanceof SnapshotError || err instanceof TypeError)
      setStatus('error', file.name + ' cannot be restored; nothing was read or written: ' + err.message);
    else
      showFailure('Reading the current values', err);
    return;
  }
  const cells = showPlan(plan, file.name);
  const changes = plan.counts.change;
  if (!plan.restorable) {  // the rule kxr-cli restore follows too
    const c = plan.counts;
    const why = [[c.skipped, 'not read at save time'], [c.unknown, 'unknown to the device']]
      .filter(([n]) => n).map(([n, text]) => n + ' ' + text);
    setStatus('warn', 'Nothing can be restored from ' + file.name + ': ' + (why.join(', ') || 'it has no entries') +
      '; nothing was written.');
    return;
  }
  if (!changes) {
    setStatus('ok', 'Nothing to write: every writable entry of ' + file.name + ' already has its value.');
    return;
  }
  const ask = 'Write ' + changes + (changes === 1 ? ' entry' : ' entries') + ' of ' + file.name +
    ' to the device and read them back?';
  if (!window.confirm(ask)) {
    setStatus('warn', 'Restore cancelled; nothing was written.');
    return;
  }
  setStatus('busy', 'Writing ' + changes + (changes === 1 ? ' entry' : ' entries') + '…');
  let report;
  try {
    report = await restore(plan);  // failed calls become failed entries; this only rejects on a broken page
  } catch (err) {
    showFailure('Restoring', err);
    return;
  }
  report.rows.forEach((r, i) => {
    cells[i].textContent = r.text;
    cells[i].className = 'result ' + (r.result === 'verified' ? 'ok' : r.result === 'skipped' ? '' : 'bad');
  });
  if (report.rows.some((r) => r.result === 'write-failed' && isAccessDenied(r.code))) {
    showDenied('Restoring', true);
    return;
  }
  const c = report.counts;
  const summary = 'Restore: ' + (c.verified ? '' : 'nothing was restored; ') + c.verified + ' written and verified' +
    (c['write-failed'] ? ', ' + c['write-failed'] + ' write failed' : '') +
    (c.mismatch ? ', ' + c.mismatch + ' verify mismatch' : '') + '; ';
  try {
    await readAll(true);
    setStatus(c.verified === changes ? 'ok' : 'warn', summary + 'values read back.');
  } catch (err) {
    showFailure(summary + 'reading back', err);
  }
}

const restoreInput = document.getElementById('restore-file');
restoreInput.addEventListener('change', () => {
  const [file] = restoreInput.files;
  restoreInput.value = '';  // the same file may be chosen again
  if (file) busy(() => onRestoreFile(file));
});
document.getElementById('signout').addEventListener('click', () =>
  signOut().catch((err) => setStatus('error', 'Signing out failed: ' + err.message)));
document.getElementById('save').addEventListener('click', () => busy(onSave));
document.getElementById('restore').addEventListener('click', () => restoreInput.click());
readButton.addEventListener('click', () => busy(onRead));
writeButton.addEventListener('click', () => busy(onWrite));
document.getElementById('form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  busy(onWrite);
});
busy(async () => {
  setStatus('busy', 'Loading the dictionary…');
  const signedIn = readSession();
  try {
    ENTRIES = await loadDictionary();
  } catch (err) {
    showSession(await signedIn);
    setStatus('error', 'Loading the dictionary failed: ' + err.message);
    return;
  }
  buildTable();
  showSession(await signedIn);
  await onRead();
});
