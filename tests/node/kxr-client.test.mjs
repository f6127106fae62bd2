// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-client.js, the page authors' module: value codecs, the sum-up buffer layouts and the answers (result, fault,
// transport failure, a 401 sending the page to sign in) against a fake fetch; its table of meanings against the daemon's.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import {
  KxrFault, MEANINGS, SignInRequired, formatValue, isAccessDenied, mayWrite, meaning, parseValue, readEntries,
  readSession, writeEntries,
} from '../../contrib/www/kxr-client.js';

const hexOf = (bytes) => Buffer.from(bytes).toString('hex').toUpperCase();
const went = [];  // where the page was sent
globalThis.location = { assign: (url) => went.push(url) };

test('parseValue: what a user types becomes the entry bytes or a reason', () => {
  const cases = [  // type, text, size, bytes in hex or /error/
    ['u8', '255', 1, 'FF'], ['u8', '256', 1, /out of range 0 to 255/], ['u8', '-1', 1, /not a number/],
    ['u16', '0x1234', 2, '3412'], ['u16', 'twelve', 2, /not a number/],
    ['u32', '4294967295', 4, 'FFFFFFFF'], ['u32', '4294967296', 4, /out of range/],
    ['u64', '0x1122334455667788', 8, '8877665544332211'], ['u64', '18446744073709551616', 8, /out of range/],
    ['i8', '-1', 1, 'FF'], ['i8', '127', 1, '7F'], ['i8', '-129', 1, /out of range -128 to 127/],
    ['i16', '-2', 2, 'FEFF'], ['i32', '-0x10', 4, 'F0FFFFFF'],
    ['i64', '-9223372036854775808', 8, '0000000000000080'], ['i64', '9223372036854775808', 8, /out of range/],
    ['text', ' ab ', 4, '61620000'], ['text', 'abcde', 4, /at most 4/], ['text', 'é', 4, /ASCII/],
    ['bytes', 'AB*3 cd', 4, 'ABABABCD'], ['bytes', '0102 0304', 4, '01020304'],
    ['bytes', 'AB CD', 16, /exactly 16 bytes wanted, 2 given/], ['bytes', 'ABC', 2, /hex byte pairs/],
    ['bytes', '00*17', 16, /exactly 16/],
  ];
  for (const [type, text, size, want] of cases) {
    const got = parseValue(type, text, size);
    (want instanceof RegExp ? assert.match : assert.equal)(want instanceof RegExp ? got.error ?? '' : hexOf(got.bytes), want, `${type} ${text}`);
  }
});

test('formatValue: read bytes as the page shows them', () => {
  const cases = [
    ['u16', [0x34, 0x12], '4660 (0x1234)'], ['u32', [0x10, 0x27, 0, 0], '10000 (0x00002710)'],
    ['i8', [0xFF], '-1 (0xFF)'], ['i16', [0xFE, 0x7F], '32766 (0x7FFE)'],
    ['u64', Array(8).fill(0xFF), '18446744073709551615 (0xFFFFFFFFFFFFFFFF)'],
    ['text', [0x4B, 0x58, 0, 0x41], '"KX"'], ['bytes', [0xAB, 0x01], 'AB 01'],
  ];
  for (const [type, bytes, want] of cases) assert.equal(formatValue(type, Uint8Array.from(bytes)), want, type);
});

// A fake fetch: records the request and answers with the given body or status.
function answerWith(body, status = 200) {  // status 0: no answer at all
  const seen = [];
  globalThis.fetch = async (url, init) => {
    seen.push({ url, ...init, field: (name) => new RegExp(`<${name}>([^<]*)</${name}>`).exec(init.body)?.[1] });
    if (!status) throw new TypeError(body);
    return { ok: status === 200, status, text: async () => body, json: async () => JSON.parse(body) };
  };
  return seen;
}
const ENVELOPE = '<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body>';
const TYPED = ' xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="string">';
const result = (base64) => ENVELOPE + '<m:ReadWriteResponse xmlns:m="urn:KxrWebService"><ppRdData' + TYPED +
  base64 + '</ppRdData></m:ReadWriteResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>';
const fault = (code, text) => ENVELOPE + '<SOAP-ENV:Fault><faultcode' + TYPED + code + '</faultcode><faultstring' +
  TYPED + text + '</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>';
const b64 = (hex) => Buffer.from(hex.replace(/ /g, ''), 'hex').toString('base64');

test('readEntries: one sum-up read, its records and data split per entry', async () => {
  // The integrator guide's example: 0x1018:01 (4 bytes) and 0x1008:00 (8 bytes).
  const seen = answerWith(result('AAAAAAQAAAAAAAAACAAAAHhWNBJLWFItU0lNAA=='));
  const got = await readEntries([{ index: 0x1018, sub: 1, length: 4 }, { index: 0x1008, sub: 0, length: 8 }]), call = seen[0];
  assert.deepEqual([call.url, call.method], ['KxrWebService/KxrWebService.dll', 'POST']);
  assert.match(call.headers['Content-Type'], /^text\/xml\b/);
  assert.match(call.body, /<u:ReadWrite xmlns:u="urn:KxrWebService"><netId><\/netId><nPort>0<\/nPort>/);
  assert.deepEqual(['indexGroup', 'indexOffset', 'cbRdLen', 'pwrData'].map(call.field),
    ['61568', '2', '28', 'AAAAAAEAGBAEAAAAAAAAAAAACBAIAAAA']);
  assert.deepEqual(got.map((r) => [r.code, r.meaning, hexOf(r.bytes)]),
    [[0, 'Success', '78563412'], [0, 'Success', '4B58522D53494D00']]);

  answerWith(result(b64('0103A6EC 00000000  00000000 02000000  3412')));
  const mixed = await readEntries([{ index: 0x7777, sub: 1, length: 4 }, { index: 0x2000, sub: 1, length: 2 }]);
  assert.deepEqual(mixed.map((r) => [r.code, r.meaning, hexOf(r.bytes)]),
    [[0xECA60301, 'No such object or sub-index', ''], [0, 'Success', '3412']]);
});

test('writeEntries: headers then data, one result code per entry', async () => {
  const seen = answerWith(result(b64('00000000 0303A6EC')));
  const got = await writeEntries([{ index: 0x2000, sub: 1, bytes: Uint8Array.of(0x34, 0x12) },
    { index: 0x1000, sub: 0, bytes: Uint8Array.of(1, 2, 3, 4) }], { endpoint: '/config/KxrWebService/KxrWebService.dll' });
  assert.equal(seen[0].url, '/config/KxrWebService/KxrWebService.dll');
  assert.deepEqual(['indexGroup', 'indexOffset', 'cbRdLen'].map(seen[0].field), ['61569', '2', '8']);
  assert.equal(hexOf(Buffer.from(seen[0].field('pwrData'), 'base64')),
    '000000000100002002000000' + '000000000000001004000000' + '3412' + '01020304');
  assert.deepEqual(got, [{ code: 0, meaning: 'Success' }, { code: 0xECA60303, meaning: 'Entry is read-only' }]);
});

test('faults, HTTP failures and short results reject', async () => {
  const one = [{ index: 0x2000, sub: 1, length: 2 }];
  answerWith(fault(-324664831, 'Unknown error'));
  await assert.rejects(readEntries(one), (err) => err instanceof KxrFault &&
    err.faultcode === -324664831 && err.faultstring === 'Unknown error' && !isAccessDenied(err));
  answerWith(fault(-1606615034, 'Access denied')), await assert.rejects(writeEntries([{ ...one[0], bytes: [1] }]), isAccessDenied);
  assert.deepEqual([0xA03D0006, 0, null, new Error('x')].map(isAccessDenied), [true, false, false, false]);
  answerWith('Bad Gateway', 502), await assert.rejects(readEntries(one), /HTTP 502/);
  answerWith('Sign-in required', 401), await assert.rejects(readEntries(one), SignInRequired);
  assert.deepEqual(went.splice(0), ['signin.htm']);
  globalThis.fetch = async () => { throw new TypeError('Failed to fetch'); };
  await assert.rejects(readEntries(one), /cannot be reached \(Failed to fetch\)/);
  answerWith(result(b64('00000000'))), await assert.rejects(readEntries(one), /too short/);
  await assert.rejects(writeEntries([]), RangeError);
});

test('meanings: the errno family is a rule, anything else unknown', () => {
  assert.deepEqual([0xECA7006E, -324664831, 0x12345678].map(meaning),
    ['System error 110', MEANINGS.get(0xECA60201), 'Unknown error']);
});

// The daemon's table, one KXR_CODE(Name, 0xCODE, "Text") per line.
const def = new URL('../../src/common/ResultCodes.def', import.meta.url);
test('the meanings are the daemon\'s table, every code with the same text', () => {
  const rows = [...readFileSync(def, 'utf8').matchAll(/^\s*KXR_CODE\(\s*\w+\s*,\s*(0x[0-9A-Fa-f]+)\s*,\s*"((?:[^"\\]|\\.)*)"\s*\)/gm)];
  assert.ok(rows.length >= 10, 'the table was found');
  const daemon = new Map(rows.map((m) => [Number(m[1]) >>> 0, JSON.parse('"' + m[2] + '"')]));
  assert.deepEqual([...MEANINGS].sort((a, b) => a[0] - b[0]), [...daemon].sort((a, b) => a[0] - b[0]));
});

test('readSession: who the daemon says signed in; a 401 goes to sign in; anything else is none, with full access', async () => {
  const cases = [  // status, body, session (user role secondsLeft), mayWrite, pages gone to
    [200, '{"user":"ada","role":"viewer","secondsLeft":873}', 'ada viewer 873', false],
    [200, '{"user":null,"role":"operator","secondsLeft":null}', 'null operator null', true],
    [200, '{"user":"cy","role":"none"}', 'cy none null', false], [401, 'Sign-in required', null, true, ['signin.htm']],
    [404, '{"user":"dy","role":"viewer"}', null, true], [200, '<html>', null, true], [200, '{"user":7,"role":"operator"}', null, true],
    [0, 'Failed to fetch', null, true],
  ];
  for (const [status, body, want, writes, gone = []] of cases) {
    const seen = answerWith(body, status), got = await readSession();
    assert.deepEqual([seen[0].url, got && `${got.user} ${got.role} ${got.secondsLeft}`, mayWrite(got), went.splice(0)],
      ['kxr-session.json', want, writes, gone], body);
  }
});
