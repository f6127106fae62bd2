// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Snapshots in kxr-client.js against a fake device behind a fake fetch: the golden file byte for byte, the checks
// that keep a bad file from making any call, the plan, the restore's results, and batching within the call limits.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import {
  SnapshotError, dictionaryEntries, packBatches, parseValue, planRestore, restore, saveSnapshot, snapshotText,
} from '../../contrib/www/kxr-client.js';

const load = (path) => readFileSync(new URL('../../' + path, import.meta.url), 'utf8');
const SIM_DICTIONARY = JSON.parse(load('contrib/www/dictionary.json'));
const SAMPLE_DICTIONARY = JSON.parse(load('tests/support/snapshot/sample-dictionary.json'));
const GOLDEN = load('tests/support/snapshot/sample-snapshot.json');
const NOW = new Date('2026-12-07T10:30:00Z');

// A device from a dictionary with initial values; refuse: entry ("0x2000:0x02") -> the code its writes get; sticky
// entries take a write but keep their bytes. Every call is recorded.
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

// Restored after changes, only differing writable entries are written, each verified or failed.
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
  assert.deepEqual([plan.counts, plan.restorable], [{ change: 4, unchanged: 11, 'read-only': 1, unknown: 1, skipped: 1 }, 16]);
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
  const { device, entries } = await saveSnapshot([{ index: '0x2000', sub: '0x01', name: 'a', type: 'u32', size: 4, writable: true },
    { index: '0x2000', sub: '0x02', name: 'b', type: 'u16', size: 2, writable: true }], { now: NOW });
  assert.deepEqual(entries.map((e) => [e.codeHex, e.raw]), [['0xECA60302', undefined], ['0xECA60102', undefined]]);
  assert.equal(device.partial, true);
});

// The rows of tests/support/snapshot/records.json, which kxr-cli's reader is held to as well (their fields:
// CliSnapshotTest). A bad file makes no call.
test('one rule set with kxr-cli: each record of the table taken or refused with its fault, before any call', async () => {
  for (const row of JSON.parse(load('tests/support/snapshot/records.json'))) {
    const device = sim();
    let faults = [];
    if (row.dictionary) {
      try { dictionaryEntries(row.dictionary); } catch (err) { faults = [err.message]; }
    } else {
      const file = JSON.parse(GOLDEN);
      for (const [field, value] of Object.entries(row.top ?? {})) value === null ? delete file[field] : file[field] = value;
      if (row.record) {
        const at = file.entries.findIndex((e) => e.index === row.record.index && e.sub === row.record.sub);
        file.entries.splice(at < 0 ? file.entries.length : at, at < 0 ? 0 : 1, row.record);
      }
      if (row.add) file.entries.push(row.add);
      try { await planRestore(row.text ?? JSON.stringify(file), SAMPLE_DICTIONARY); } catch (err) {
        assert.ok(err instanceof SnapshotError, row.why);
        faults = err.faults;
      }
      if (faults.length) assert.equal(device.calls.length, 0, row.why);
    }
    assert.equal(faults.length === 0, row.valid, row.why + ': ' + faults);
    if (row.fault) assert.ok(faults[0].startsWith(row.fault), row.why + ': ' + faults[0]);
  }
  // Records never read or unknown to the device restore nothing, which the page must tell.
  const nothing = JSON.parse(GOLDEN);
  nothing.entries = nothing.entries.filter((e) => 'code' in e).concat({ index: '0x5555', sub: '0x00', raw: '01' });
  assert.equal((await planRestore(nothing, SAMPLE_DICTIONARY)).restorable, 0);
});

// The rows of tests/support/batch/packing.json, kxr-cli's rule too (CliBatchTest): entries' sizes -> their calls.
test('packing: the largest entries first, each into the first call with room, as kxr-cli packs them', () => {
  for (const row of JSON.parse(load('tests/support/batch/packing.json')))
    assert.deepEqual(packBatches(row.sizes.map((n) => (row.write ? { bytes: new Uint8Array(n) } : { length: n })), row.write),
      row.calls, row.why);
});

test('batching: each call within 300 entries, a 1 MiB read area and a 1 MiB body, in the fewest calls', async () => {
  const dictionary = (count, size, type = 'bytes') => Array.from({ length: count }, (_, i) =>
    ({ index: '0x' + (0x3000 + i).toString(16), sub: '0x01', name: 'E' + i, type, size, writable: true, value: '00*' + size }));
  // count, size, calls of the save, calls of the restore's write
  for (const [count, size, saves, writes] of [[700, 1, 3, 3], [3, 600000, 3, 3], [4, 300000, 2, 2], [300, 3000, 1, 2]]) {
    const d = dictionary(count, size);
    const device = fakeDevice(d);
    const file = await saveSnapshot(d, { now: NOW });
    assert.equal(device.calls.length, saves, `${count} x ${size}: save`);
    assert.equal('partial' in file.device, false);
    for (let i = 0; i < count; i++) device.set(0x3000 + i + ':1', 'bytes', 'FF*' + size);
    const plan = await planRestore(file, d);
    device.calls.length = 0;
    const report = await restore(plan);
    assert.equal(report.counts.verified, count);
    assert.equal(device.calls.filter((c) => c.group === 0xF081).length, writes, `${count} x ${size}: writes`);
    for (const c of device.calls) assert.ok(c.count <= 300 && c.cbRdLen <= 1048576 && c.body <= 1048576);
  }
});
