// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Snapshots in kxr-client.js against a fake device behind a fake fetch: the golden file byte for byte, the checks
// that keep a bad file from making any call, the plan, the restore's results, and batching within the call limits.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import {
  SnapshotError, parseValue, planRestore, restore, saveSnapshot, snapshotText,
} from '../../contrib/www/kxr-client.js';

const load = (path) => readFileSync(new URL('../../' + path, import.meta.url), 'utf8');
const SIM_DICTIONARY = JSON.parse(load('contrib/www/dictionary.json'));
const SAMPLE_DICTIONARY = JSON.parse(load('tests/support/snapshot/sample-dictionary.json'));
const GOLDEN = load('tests/support/snapshot/sample-snapshot.json');
const NOW = new Date('2026-12-07T10:30:00Z');

// A device as the simulator keeps it, from a dictionary with initial values: entry -> { bytes, writable }.
// refuse maps an entry ("0x2000:0x02") to the code its writes get; sticky entries take a write but keep their
// bytes. Every call is recorded.
const keyOf = (label) => label.split(':').map(Number).reduce((index, sub) => index * 256 + sub);
function fakeDevice(dictionary, { refuse = {}, sticky = [] } = {}) {
  const entries = new Map(dictionary.map((e) => [Number(e.index) * 256 + Number(e.sub),
    { bytes: parseValue(e.type, e.value, e.size).bytes, writable: e.writable }]));
  const refused = new Map(Object.entries(refuse).map(([label, code]) => [keyOf(label), code]));
  const stuck = new Set(sticky.map(keyOf));
  const calls = [];
  const field = (body, name) => new RegExp(`<${name}>([^<]*)</${name}>`).exec(body)[1];
  globalThis.fetch = async (url, init) => {
    const [group, count, cbRdLen] = ['indexGroup', 'indexOffset', 'cbRdLen'].map((f) => Number(field(init.body, f)));
    const data = Buffer.from(field(init.body, 'pwrData'), 'base64');
    calls.push({ group, count, cbRdLen, body: init.body.length });
    const records = [], payload = [];
    let offset = 12 * count;
    for (let i = 0; i < count; i++) {
      const key = data.readUInt16LE(12 * i + 6) * 256 + data[12 * i + 4], length = data.readUInt32LE(12 * i + 8);
      const entry = entries.get(key);
      if (group === 0xF080) {
        const code = !entry ? 0xECA60301 : entry.bytes.length > length ? 0xECA60102 : 0;
        const out = code ? new Uint8Array(0) : entry.bytes;
        records.push(code, out.length), payload.push(out);
      } else {
        const bytes = data.subarray(offset, offset += length);
        const code = refused.get(key) ?? (!entry ? 0xECA60301 : !entry.writable ? 0xECA60303
          : bytes.length !== entry.bytes.length ? 0xECA60302 : 0);
        if (!code && !stuck.has(key)) entry.bytes = Uint8Array.from(bytes);
        records.push(code);
      }
    }
    const head = Buffer.alloc(4 * records.length);
    records.forEach((v, i) => head.writeUInt32LE(v, 4 * i));
    const result = Buffer.concat([head, ...payload]).toString('base64');
    return { ok: true, status: 200, text: async () => '<SOAP-ENV:Envelope><SOAP-ENV:Body><m:ReadWriteResponse>' +
      '<ppRdData>' + result + '</ppRdData></m:ReadWriteResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>' };
  };
  const entry = (label) => entries.get(keyOf(label));
  const set = (label, type, text) => { entry(label).bytes = parseValue(type, text, entry(label).bytes.length).bytes; };
  return { calls, set, bytes: (label) => Buffer.from(entry(label).bytes).toString('hex') };
}
const sim = (opts) => fakeDevice(SIM_DICTIONARY, opts);

// The save is the golden file; restored after changes, only differing writable entries are written, each
// verified or failed.
test('save (the golden file, byte for byte, in one call), change, plan and restore', async () => {
  const device = sim({ refuse: { '0x2000:0x02': 0xECA60303 }, sticky: ['0x2000:0x03'] });
  const text = snapshotText(await saveSnapshot(SAMPLE_DICTIONARY, { now: NOW }));
  assert.equal(text, GOLDEN);
  assert.deepEqual(device.calls.map((c) => [c.group, c.count]), [[0xF080, 17]]);
  const file = JSON.parse(text);
  file.entries.push({ index: '0x5555', sub: '0x01', name: 'Elsewhere', type: 'u8', size: 1, writable: true, raw: '01' });
  device.set('0x2000:0x01', 'u16', '7'), device.set('0x2100:0x01', 'bytes', 'AB*600');
  device.set('0x2000:0x02', 'u32', '1'), device.set('0x2000:0x03', 'u8', '0');
  device.set('0x6000:0x01', 'u32', '5');  // read-only: differs, never written
  device.calls.length = 0;

  const plan = await planRestore(JSON.stringify(file), SAMPLE_DICTIONARY);
  assert.deepEqual(device.calls.map((c) => [c.group, c.count]), [[0xF080, 16]], 'one read of the entries with raw');
  assert.deepEqual(plan.counts, { change: 4, unchanged: 11, 'read-only': 1, unknown: 1, skipped: 1 });
  const actions = Object.fromEntries(plan.rows.map((r) => [r.label, r.action]));
  assert.deepEqual([actions['0x6000:01'], actions['0x7777:01'], actions['0x5555:01']], ['read-only', 'skipped', 'unknown']);

  const report = await restore(plan);
  assert.deepEqual(device.calls.slice(1).map((c) => [c.group, c.count]), [[0xF081, 4], [0xF080, 3]],
    'only the entries written are read back');
  const got = Object.fromEntries(report.rows.filter((r) => r.action === 'change').map((r) => [r.label, [r.result, r.code, r.text]]));
  assert.deepEqual(got, {
    '0x2000:01': ['verified', 0, 'written and verified'],
    '0x2000:02': ['write-failed', 0xECA60303, 'write failed: 0xECA60303 Entry is read-only'],
    '0x2000:03': ['mismatch', 0, 'verify mismatch: reads back 0 (0x00)'],
    '0x2100:01': ['verified', 0, 'written and verified'],
  });
  assert.deepEqual(report.counts, { verified: 2, 'write-failed': 1, mismatch: 1, skipped: 14 });
  assert.deepEqual([device.bytes('0x2000:0x01'), device.bytes('0x6000:0x01')], ['0000', '05000000']);
  assert.equal(device.bytes('0x2100:0x01'), '00'.repeat(600));
});

test('save: an entry shorter than its size is recorded as WrongLength, a longer one keeps the service\'s code', async () => {
  fakeDevice([{ index: 0x2000, sub: 1, type: 'u16', size: 2, value: '1' }, { index: 0x2000, sub: 2, type: 'u32', size: 4, value: '1' }]);
  const { entries } = await saveSnapshot([{ index: '0x2000', sub: '0x01', type: 'u32', size: 4 },
    { index: '0x2000', sub: '0x02', type: 'u16', size: 2 }], { now: NOW });
  assert.deepEqual(entries.map((e) => [e.codeHex, e.raw]), [['0xECA60302', undefined], ['0xECA60102', undefined]]);
});

test('a file with a fault is refused with the entry and the reason, before any call', async () => {
  const good = JSON.parse(GOLDEN);
  const edit = (change) => { const f = structuredClone(good); change(f); return JSON.stringify(f); };
  const at = (i, change) => edit((f) => change(f.entries[i]));
  const cases = [  // file text, reason
    ['{"format": "kxr-snapshot", ', /not a snapshot file: .*JSON/],
    [edit((f) => { f.format = 'other'; }), /"format" is not "kxr-snapshot"/],
    [edit((f) => { f.version = 2; }), /^snapshot version 2 is newer than this reader \(1\)$/],
    [edit((f) => { f.version = '1'; }), /"version" is not a whole number/],
    [edit((f) => { delete f.entries; }), /"entries" is not a list/],
    [at(9, (e) => { e.index = '0x12345'; }), /record 10: no valid "index"/],
    [edit((f) => f.entries.push(f.entries[9])), /0x2000:01: listed twice/],
    [at(9, (e) => { e.type = 'i16'; }), /0x2000:01 Settings: cycle time: type "i16", the device's is u16/],
    [at(9, (e) => { e.size = 4; }), /0x2000:01 .*: size 4, the device's is 2/],
    [at(9, (e) => { e.raw = '000000'; }), /0x2000:01 .*"raw" is not the hex of exactly 2 bytes/],
    [at(9, (e) => { delete e.raw; }), /0x2000:01 .*neither "raw" nor "code"/],
    [at(9, (e) => { e.value = '1'; }), /0x2000:01 .*value "1" does not match raw/],
    [at(9, (e) => { e.value = '70000'; }), /value "70000": out of range 0 to 65535/],
    [at(1, (e) => { e.value = 'KXR-SIM '; }), /0x1008:00 .*does not match raw/],
  ];
  for (const [text, reason] of cases) {
    const device = sim();
    await assert.rejects(planRestore(text, SAMPLE_DICTIONARY), (err) => err instanceof SnapshotError &&
      reason.test(err.message), String(reason));
    assert.equal(device.calls.length, 0, String(reason));
  }
  // Unknown fields are ignored; a text's spaces are its own (not trimmed as typed input is).
  sim().set('0x1008:0x00', 'text', '');
  const spaced = at(1, (e) => { e.value = ' KXR  '; e.raw = '204b58522020' + '0000'; e.extra = true; });
  assert.equal((await planRestore(spaced, SAMPLE_DICTIONARY)).rows[1].action, 'read-only');
});

test('batching: each call within 300 entries, a 1 MiB read area and a 1 MiB body, in the fewest calls', async () => {
  const dictionary = (count, size, type = 'bytes') => Array.from({ length: count }, (_, i) =>
    ({ index: 0x3000 + i, sub: 1, name: 'E' + i, type, size, writable: true, value: '00*' + size }));
  const cases = [  // count, size, calls of the save, calls of the restore's write
    [700, 1, 3, 3], [3, 600000, 3, 3], [4, 300000, 2, 2], [300, 3000, 1, 2],
  ];
  for (const [count, size, saves, writes] of cases) {
    const d = dictionary(count, size);
    const device = fakeDevice(d);
    const file = await saveSnapshot(d, { now: NOW });
    assert.equal(device.calls.length, saves, `${count} x ${size}: save`);
    for (let i = 0; i < count; i++) device.set(0x3000 + i + ':1', 'bytes', 'FF*' + size);
    const plan = await planRestore(file, d);
    device.calls.length = 0;
    const report = await restore(plan);
    assert.equal(report.counts.verified, count);
    assert.equal(device.calls.filter((c) => c.group === 0xF081).length, writes, `${count} x ${size}: writes`);
    for (const c of device.calls) assert.ok(c.count <= 300 && c.cbRdLen <= 1048576 && c.body <= 1048576);
  }
});
