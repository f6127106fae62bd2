// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Client of the ReadWrite web service for the device pages: reads and writes
// object-dictionary entries in one sum-up call each, and converts values
// between their bytes and the text a user reads or types. An ES module
// without dependencies; it needs fetch, atob and btoa (browsers, node 18+).
//
//   import { readEntries, writeEntries } from './kxr-client.js';
//   const [r] = await readEntries([{ index: 0x1008, sub: 0, length: 8 }]);
//   // r: { code: 0, meaning: 'Success', bytes: Uint8Array(8) }
//   const [w] = await writeEntries([{ index: 0x2000, sub: 1, bytes: Uint8Array.of(0x34, 0x12) }]);
//   // w: { code: 0, meaning: 'Success' }
//
// A SOAP Fault rejects with a KxrFault (faultcode, faultstring); transport
// problems reject with a plain Error, a 401 with a SignInRequired after
// sending the browser to signin.htm. readSession tells who is signed in.

// Relative, so that pages work at / and below /config/ alike.
export const ENDPOINT = 'KxrWebService/KxrWebService.dll';
export const SUMUP_READ = 0xF080;
export const SUMUP_WRITE = 0xF081;
export const MAX_ENTRIES = 300;

// Result codes and their meanings: the service's own and those of the
// device-profile service and its client. Held equal to the daemon's table
// (src/common/ResultCodes.def) by tests/node.
export const MEANINGS = new Map([
  [0x00000000, 'Success'],
  [0xA03D0001, 'Unspecific error'],
  [0xA03D0002, 'Invalid HTTP method (POST required)'],
  [0xA03D0003, 'Invalid SOAP message'],
  [0xA03D0004, 'Invalid content-type (text/xml required)'],
  [0xA03D0005, 'Maximum length of SOAP message reached'],
  [0xA03D0006, 'Access denied'],
  [0xA03D0100, 'Out of memory'],
  [0xA03D0101, 'Readbuffer too small'],
  [0xA03D0102, 'Invalid writebuffer'],
  [0xA03D0103, 'Out of range'],
  [0xA03D0104, 'Invalid argument'],
  [0xA03D0105, 'Maximum amount of subcommands reached'],
  [0xA03D0106, 'Maximum length of readbuffer reached'],
  [0xA03D0107, 'Maximum length of writebuffer reached'],
  [0xECA60102, 'Entry longer than the bytes wanted (the first bytes are delivered)'],
  [0xECA60104, 'Length above 1 MiB, or out of memory'],
  [0xECA60107, 'Invalid arguments'],
  [0xECA60200, 'Device-profile service refused the connection'],
  [0xECA60201, 'Device-profile service not running (no socket)'],
  [0xECA60301, 'No such object or sub-index'],
  [0xECA60302, 'Length differs from the entry\'s size'],
  [0xECA60303, 'Entry is read-only'],
  [0xECA60304, 'Malformed entry access'],
  [0xECA60FFF, 'Malformed answer from the device-profile service'],
]);

// The client's codes 0xECA70000 + errno.
const ERRNO_BASE = 0xECA70000;

export function meaning(code) {
  code >>>= 0;
  if (MEANINGS.has(code)) return MEANINGS.get(code);
  if (((code & 0xFFFF0000) >>> 0) === ERRNO_BASE) return 'System error ' + (code & 0xFFFF);
  return 'Unknown error';
}

// "0x2000" style, upper case, zero-padded to digits; numbers are taken as
// 32-bit words (a negative faultcode shows as its code), BigInts as they are.
export function hex(value, digits) {
  const word = typeof value === 'bigint' ? value : BigInt(value >>> 0);
  return '0x' + word.toString(16).toUpperCase().padStart(digits, '0');
}

export class KxrFault extends Error {
  constructor(faultcode, faultstring) {
    super('Fault ' + faultcode + ': ' + faultstring);
    this.name = 'KxrFault';
    this.faultcode = faultcode;
    this.faultstring = faultstring;
  }
}

// --- values ------------------------------------------------------------------

const INTEGERS = {
  u8: [8, false], u16: [16, false], u32: [32, false], u64: [64, false],
  i8: [8, true], i16: [16, true], i32: [32, true], i64: [64, true],
};
export const TYPES = [...Object.keys(INTEGERS), 'text', 'bytes'];

// Little-endian integers, text (characters, zero-padded to the entry's size)
// and raw bytes (hex pairs). formatValue shows what was read:
// "4660 (0x1234)", "\"KXR-SIM\"", "AB CD".
export function formatValue(type, bytes) {
  if (type in INTEGERS) {
    let value = 0n;
    for (let i = bytes.length - 1; i >= 0; i--) value = (value << 8n) | BigInt(bytes[i]);
    const shown = INTEGERS[type][1] ? BigInt.asIntN(8 * bytes.length, value) : value;
    return shown + ' (' + hex(value, bytes.length * 2) + ')';
  }
  if (type === 'text') {
    const end = bytes.indexOf(0);
    return '"' + String.fromCharCode(...(end < 0 ? bytes : bytes.subarray(0, end))) + '"';
  }
  return Array.from(bytes, (b) => b.toString(16).toUpperCase().padStart(2, '0')).join(' ');
}

// What a user typed, as the entry's bytes: { bytes } or { error } with the
// reason. size is the entry's size (integers: their width when omitted).
export function parseValue(type, text, size) {
  text = text.trim();
  if (type in INTEGERS) {
    const [bits, signed] = INTEGERS[type];
    const match = /^(-?)(0[xX][0-9a-fA-F]+|[0-9]+)$/.exec(text);
    if (!match || (match[1] && !signed)) return { error: 'not a number (decimal, or hexadecimal with 0x)' };
    const value = (match[1] ? -1n : 1n) * BigInt(match[2]);
    const min = signed ? -(2n ** BigInt(bits - 1)) : 0n;
    const max = (signed ? 2n ** BigInt(bits - 1) : 2n ** BigInt(bits)) - 1n;
    if (value < min || value > max) return { error: 'out of range ' + min + ' to ' + max };
    const bytes = new Uint8Array(size || bits / 8);
    let raw = BigInt.asUintN(bits, value);
    for (let i = 0; i < bytes.length; i++, raw >>= 8n) bytes[i] = Number(raw & 0xFFn);
    return { bytes };
  }
  if (type === 'text') {
    if (!/^[\x20-\x7E]*$/.test(text)) return { error: 'only plain ASCII characters' };
    if (text.length > size) return { error: 'at most ' + size + ' characters' };
    const bytes = new Uint8Array(size);
    for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    return { bytes };
  }
  if (type !== 'bytes') return { error: 'unknown type ' + type };
  const out = [];
  for (const token of text.split(/\s+/).filter(Boolean)) {
    const repeat = /^([0-9a-fA-F]{2})\*([0-9]+)$/.exec(token);
    if (repeat) {
      const count = Number(repeat[2]);
      if (count > size) return { error: 'exactly ' + size + ' bytes wanted' };
      for (let i = 0; i < count; i++) out.push(parseInt(repeat[1], 16));
    } else if (/^([0-9a-fA-F]{2})+$/.test(token)) {
      for (let i = 0; i < token.length; i += 2) out.push(parseInt(token.substr(i, 2), 16));
    } else {
      return { error: 'hex byte pairs such as 12 AB, or HH*N' };
    }
  }
  if (out.length !== size) return { error: 'exactly ' + size + ' bytes wanted, ' + out.length + ' given' };
  return { bytes: Uint8Array.from(out) };
}

// --- buffers -------------------------------------------------------------------

function toBase64(bytes) {
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

function fromBase64(text) {
  const chars = atob(text);
  const bytes = new Uint8Array(chars.length);
  for (let i = 0; i < chars.length; i++) bytes[i] = chars.charCodeAt(i);
  return bytes;
}

// The 12-byte sub-request header: group word, sub-index, flags, index, length.
function putHeader(view, offset, entry, length) {
  view.setUint32(offset, 0, true);
  view.setUint8(offset + 4, entry.sub);
  view.setUint8(offset + 5, 0);
  view.setUint16(offset + 6, entry.index, true);
  view.setUint32(offset + 8, length, true);
}

function checkCount(list) {
  if (!Array.isArray(list) || list.length < 1 || list.length > MAX_ENTRIES)
    throw new RangeError('1 to ' + MAX_ENTRIES + ' entries per call');
}

// --- the call --------------------------------------------------------------------

export function envelope(group, count, cbRdLen, pwrData) {
  return '<?xml version="1.0"?>' +
    '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body>' +
    '<u:ReadWrite xmlns:u="urn:KxrWebService"><netId></netId><nPort>0</nPort>' +
    '<indexGroup>' + group + '</indexGroup><indexOffset>' + count + '</indexOffset>' +
    '<cbRdLen>' + cbRdLen + '</cbRdLen><pwrData>' + toBase64(pwrData) + '</pwrData>' +
    '</u:ReadWrite></SOAP-ENV:Body></SOAP-ENV:Envelope>';
}

function element(xml, name) {
  const match = new RegExp('<' + name + '\\b[^>]*>([^<]*)</' + name + '>').exec(xml);
  if (!match) return null;
  return match[1].replace(/&lt;/g, '<').replace(/&gt;/g, '>').replace(/&quot;/g, '"')
    .replace(/&apos;/g, '\'').replace(/&amp;/g, '&');
}

// Posts one call; resolves to the decoded result buffer.
async function readWrite(group, count, cbRdLen, pwrData, endpoint) {
  let answer;
  try {
    answer = await fetch(endpoint, {
      method: 'POST',
      headers: { 'Content-Type': 'text/xml; charset=utf-8' },
      body: envelope(group, count, cbRdLen, pwrData),
      cache: 'no-store',
    });
  } catch (err) {
    throw new Error('the web service cannot be reached (' + err.message + ')');
  }
  if (answer.status === 401) throw signInRequired();
  if (!answer.ok) throw new Error('the web service answered HTTP ' + answer.status);
  const xml = await answer.text();
  const faultcode = element(xml, 'faultcode');
  if (faultcode !== null) throw new KxrFault(Number(faultcode), element(xml, 'faultstring') ?? '');
  const data = element(xml, 'ppRdData');
  if (data === null) throw new Error('the web service gave an answer that is neither a result nor a fault');
  return fromBase64(data.trim());
}

// One sum-up read of [{ index, sub, length }] (length: the bytes wanted);
// resolves to one { code, meaning, bytes } per entry, in order.
export async function readEntries(list, { endpoint = ENDPOINT } = {}) {
  checkCount(list);
  const headers = new Uint8Array(12 * list.length);
  const view = new DataView(headers.buffer);
  let cbRdLen = 8 * list.length;
  list.forEach((e, i) => { putHeader(view, 12 * i, e, e.length); cbRdLen += e.length; });
  const result = await readWrite(SUMUP_READ, list.length, cbRdLen, headers, endpoint);
  if (result.length < 8 * list.length) throw new Error('the read result is too short');
  const words = new DataView(result.buffer, result.byteOffset, result.byteLength);
  let offset = 8 * list.length;
  return list.map((_, i) => {
    const code = words.getUint32(8 * i, true);
    const length = words.getUint32(8 * i + 4, true);
    const bytes = result.slice(offset, offset + length);
    offset += length;
    return { code, meaning: meaning(code), bytes };
  });
}

// One sum-up write of [{ index, sub, bytes }]; resolves to one
// { code, meaning } per entry, in order.
export async function writeEntries(list, { endpoint = ENDPOINT } = {}) {
  checkCount(list);
  const total = list.reduce((sum, e) => sum + e.bytes.length, 12 * list.length);
  const buffer = new Uint8Array(total);
  const view = new DataView(buffer.buffer);
  let offset = 12 * list.length;
  list.forEach((e, i) => {
    putHeader(view, 12 * i, e, e.bytes.length);
    buffer.set(e.bytes, offset);
    offset += e.bytes.length;
  });
  const result = await readWrite(SUMUP_WRITE, list.length, 4 * list.length, buffer, endpoint);
  if (result.length < 4 * list.length) throw new Error('the write result is too short');
  const words = new DataView(result.buffer, result.byteOffset, result.byteLength);
  return list.map((_, i) => {
    const code = words.getUint32(4 * i, true);
    return { code, meaning: meaning(code) };
  });
}

// --- who is signed in -------------------------------------------------------------

// The daemon refuses every call but reads to a viewer with this fault code.
export const ACCESS_DENIED = 0xA03D0006;

// Whether a call failed because the signed-in role may not make it (a
// KxrFault, or the code a restore report gives a row of a refused call).
export function isAccessDenied(failure) {
  const code = failure instanceof KxrFault ? failure.faultcode : failure;
  return Number.isInteger(code) && code >>> 0 === ACCESS_DENIED;
}

// The daemon answers this path with {"user":"NAME","role":"ROLE","secondsLeft":N}.
// Relative, like the endpoint, and so is the sign-in page.
export const SESSION = 'kxr-session.json';
export const SIGNIN = 'signin.htm';

// The daemon answered 401: no sign-in, or one that has ended.
export class SignInRequired extends Error {
  constructor() {
    super('the sign-in has ended');
    this.name = 'SignInRequired';
  }
}

// In a browser the page goes to the sign-in page; the caller gets the error.
function signInRequired() {
  globalThis.location?.assign(SIGNIN);
  return new SignInRequired();
}

// Who is signed in: resolves to { user, role, secondsLeft }. user is null for
// a caller the daemon serves without a sign-in (root on its socket);
// secondsLeft (until the session ends) is null when nothing ends (HTTP Basic,
// root). Resolves to null when there is no such document (pages served
// without the daemon) or on a 401, after sending a browser to the sign-in
// page. The page only shows it; the daemon decides.
export async function readSession({ url = SESSION } = {}) {
  let session;
  try {
    const answer = await fetch(url, { cache: 'no-store', headers: { Accept: 'application/json' } });
    if (answer.status === 401) signInRequired();
    if (!answer.ok) return null;
    session = await answer.json();
  } catch {
    return null;
  }
  const { user, role, secondsLeft } = session ?? {};
  if ((user !== null && typeof user !== 'string') || typeof role !== 'string') return null;
  return { user, role, secondsLeft: Number.isFinite(secondsLeft) ? secondsLeft : null };
}

// Ends the session on the daemon, then goes to the sign-in page; rejects,
// staying on the page, when the daemon could not be told.
export async function signOut() {
  const answer = await fetch('kxr-signout', { method: 'POST', cache: 'no-store' });
  if (!answer.ok) throw new Error('the device answered HTTP ' + answer.status);
  globalThis.location?.assign(SIGNIN);
}

// Whether the pages offer writing and restoring: to an operator, and when
// there is no session document to go by (the daemon still decides).
export const mayWrite = (session) => session === null || session.role === 'operator';

// --- many entries: calls within the service's limits -----------------------------

// A call carries at most 300 entries, a read area (cbRdLen) of at most 1 MiB
// and a request body of at most 1 MiB; larger sets take several calls.
export const MAX_AREA = 0x100000;
export const MAX_BODY = 0x100000;

// Body length of a call: the envelope without numbers and data, plus them.
const bodyLength = (group, count, cbRdLen, dataBytes) =>
  envelope(group, 0, 0, new Uint8Array(0)).length - 2 +
  String(count).length + String(cbRdLen).length + 4 * Math.ceil(dataBytes / 3);

// Splits items into the calls of a read or a write within the limits, as
// the positions of their items (ascending within a call, calls by their
// first item). The largest items go first, each into the first call with
// room, so that large and small ones share calls: kxr-cli's rule, held to
// the same table of cases (tests/support/batch/packing.json).
export function packBatches(items, write) {
  const group = write ? SUMUP_WRITE : SUMUP_READ;
  const area = write ? () => 4 : (e) => 8 + e.length;
  const data = write ? (e) => 12 + e.bytes.length : () => 12;
  const weight = (i) => (write ? items[i].bytes.length : items[i].length);
  const order = items.map((_, i) => i).sort((a, b) => weight(b) - weight(a));
  const calls = [], loads = [];
  for (const i of order) {
    let c = loads.findIndex((l) => l.count < MAX_ENTRIES && l.area + area(items[i]) <= MAX_AREA &&
      bodyLength(group, l.count + 1, l.area + area(items[i]), l.data + data(items[i])) <= MAX_BODY);
    if (c < 0) {
      c = loads.push({ count: 0, area: 0, data: 0 }) - 1;
      calls.push([]);
    }
    loads[c].count++;
    loads[c].area += area(items[i]);
    loads[c].data += data(items[i]);
    calls[c].push(i);
  }
  for (const call of calls) call.sort((a, b) => a - b);
  return calls.sort((a, b) => a[0] - b[0]);
}

// Whether one entry alone fits a read call, or a write call of size bytes.
const fitsRead = (size) => 8 + size <= MAX_AREA && bodyLength(SUMUP_READ, 1, 8 + size, 12) <= MAX_BODY;
const fitsWrite = (size) => bodyLength(SUMUP_WRITE, 1, 4, 12 + size) <= MAX_BODY;

// Reads [{ index, sub, length }] in as few calls as the limits allow;
// resolves to one { code, meaning, bytes } per entry. The first call that
// fails rejects the whole read.
export async function readMany(list, { endpoint = ENDPOINT } = {}) {
  const out = [];
  for (const call of packBatches(list, false)) {
    const results = await readEntries(call.map((i) => list[i]), { endpoint });
    call.forEach((i, k) => { out[i] = results[k]; });
  }
  return out;
}

// Writes [{ index, sub, bytes }] in as few calls as the limits allow;
// resolves to one { code, meaning } per entry, or { error } (a KxrFault or
// an Error) for the entries of a call that failed as a whole; the other
// calls still go out.
export async function writeMany(list, { endpoint = ENDPOINT } = {}) {
  const out = [];
  for (const call of packBatches(list, true)) {
    let results;
    try {
      results = await writeEntries(call.map((i) => list[i]), { endpoint });
    } catch (error) {
      results = call.map(() => ({ error }));
    }
    call.forEach((i, k) => { out[i] = results[k]; });
  }
  return out;
}

// --- snapshots -----------------------------------------------------------------------

// A snapshot keeps every entry of the dictionary as read at one time, as the
// file text snapshotText gives (the same text kxr-cli save writes):
//
//   const snapshot = await saveSnapshot(dictionary);     // dictionary.json's list
//   const text = snapshotText(snapshot);
//   const plan = await planRestore(text, dictionary);    // checks, then reads
//   const report = await restore(plan);                 // writes, reads back
export const SNAPSHOT_FORMAT = 'kxr-snapshot';
export const SNAPSHOT_VERSION = 1;
const WRONG_LENGTH = 0xECA60302;

// A file that cannot be restored; faults lists every reason, each naming
// its entry. Thrown before any call.
export class SnapshotError extends Error {
  constructor(faults) {
    super(faults.length > 5 ? faults.slice(0, 5).join('; ') + '; and ' + (faults.length - 5) + ' more'
      : faults.join('; '));
    this.name = 'SnapshotError';
    this.faults = faults;
  }
}

// "0x2000:01", as the pages show an entry.
export const entryLabel = (index, sub) => hex(index, 4) + ':' + hex(sub, 2).slice(2);

const key = (index, sub) => index * 256 + sub;

function hexNumber(text, digits) {
  return typeof text === 'string' && new RegExp('^0x[0-9a-fA-F]{1,' + digits + '}$').test(text)
    ? parseInt(text.slice(2), 16) : null;
}

// The rules of a dictionary and of a snapshot file are kxr-cli's, word for
// word, so that a file one of them takes the other takes too.
const entryName = (index, sub) => hex(index, 4) + ':' + hex(sub, 2);
const widthOf = (type) => (Object.hasOwn(INTEGERS, type) ? INTEGERS[type][0] / 8 : 0);
const LARGEST = MAX_AREA - 8;  // an entry and its record fill a read area at most
// A whole number as kxr-cli reads one: exact, and 1.0 is 1.
const wholeNumber = (v, min, max) => Number.isInteger(v) && Math.abs(v) < 2 ** 62 && v >= min && v <= max;

// The entries of dictionary.json, checked: a bad dictionary throws before any call.
export function dictionaryEntries(list) {
  if (!Array.isArray(list)) throw new TypeError('not a list [ ... ] of entries');
  const seen = new Set();
  return list.map((e, i) => {
    const where = 'entry ' + (i + 1) + ': ';
    const index = hexNumber(e?.index, 4), sub = hexNumber(e?.sub, 2);
    if (index === null || sub === null) throw new TypeError(where + '"index" and "sub" are "0x" and 4 or 2 hex digits');
    if (typeof e.name !== 'string' || !TYPES.includes(e.type) || typeof e.writable !== 'boolean' ||
        !wholeNumber(e.size, 1, LARGEST))
      throw new TypeError(where + 'needs "name", "type" (u8..u64, i8..i64, text, bytes), "size" (1 to ' + LARGEST +
        ') and "writable"');
    if (widthOf(e.type) && e.size !== widthOf(e.type))
      throw new TypeError(where + 'the size of a ' + e.type + ' is ' + widthOf(e.type));
    if (seen.has(key(index, sub))) throw new TypeError(where + entryName(index, sub) + ' is given twice');
    seen.add(key(index, sub));
    return { index, sub, label: entryLabel(index, sub), name: e.name, type: e.type, size: e.size, writable: e.writable };
  });
}

// Hex of every byte value: entries reach 1 MiB, so no work per byte beyond a look-up.
const HEX_LOWER = Array.from({ length: 256 }, (_, b) => b.toString(16).padStart(2, '0'));
const HEX_UPPER = HEX_LOWER.map((h) => h.toUpperCase());
function hexJoin(bytes, table, separator) {
  const out = new Array(bytes.length);
  for (let i = 0; i < bytes.length; i++) out[i] = table[bytes[i]];
  return out.join(separator);
}
const rawHex = (bytes) => hexJoin(bytes, HEX_LOWER, '');
const pairs = (bytes) => hexJoin(bytes, HEX_UPPER, ' ');

function fromHex(text) {
  const bytes = new Uint8Array(text.length / 2);
  for (let i = 0; i < bytes.length; i++) bytes[i] = parseInt(text.substr(2 * i, 2), 16);
  return bytes;
}

const sameBytes = (a, b) => a.length === b.length && a.every((x, i) => x === b[i]);

// The value a snapshot shows beside the raw bytes, or undefined when the type
// cannot show them.
export function snapshotValue(type, bytes) {
  if (type in INTEGERS) {
    let value = 0n;
    for (let i = bytes.length - 1; i >= 0; i--) value = (value << 8n) | BigInt(bytes[i]);
    return String(INTEGERS[type][1] && bytes.length ? BigInt.asIntN(8 * bytes.length, value) : value);
  }
  if (type === 'text') {
    const nul = bytes.indexOf(0);
    const end = nul < 0 ? bytes.length : nul;
    for (let i = 0; i < bytes.length; i++)
      if (i < end ? bytes[i] < 0x20 || bytes[i] > 0x7E : bytes[i] !== 0) return undefined;
    return String.fromCharCode(...bytes.subarray(0, end));
  }
  if (type === 'bytes') return pairs(bytes);
  return undefined;
}

// A snapshot's value as bytes of the entry, or the reason it does not fit.
// Text is taken as written: its spaces are part of the value. Other types
// may be padded with ASCII blanks only, never with other spaces.
function shownBytes(type, value, size) {
  if (type === 'text') {
    if (!/^[\x20-\x7E]*$/.test(value)) return { error: 'only plain ASCII characters' };
    if (value.length > size) return { error: 'at most ' + size + ' characters' };
    const bytes = new Uint8Array(size);
    for (let i = 0; i < value.length; i++) bytes[i] = value.charCodeAt(i);
    return { bytes };
  }
  if (/[^\x20-\x7E\t\n\v\f\r]/.test(value))
    return { error: widthOf(type) ? 'not a number (decimal, or hexadecimal with 0x)' : 'hex byte pairs such as 12 AB, or HH*N' };
  return parseValue(type, value, size);
}

// "2026-12-07T10:30:00Z": UTC, whole seconds.
const takenAt = (now) => new Date(now).toISOString().replace(/\.\d+Z$/, 'Z');

// Reads every entry of the dictionary in as few calls as the limits allow
// and resolves to the snapshot (a plain object; snapshotText makes it the
// file). An entry that cannot be read keeps its code, and the device object
// gets partial: true; a call that fails as a whole rejects.
export async function saveSnapshot(dictionary, { endpoint = ENDPOINT, now = new Date() } = {}) {
  const entries = dictionaryEntries(dictionary);
  const taken = takenAt(now);
  const results = entries.length
    ? await readMany(entries.map((e) => ({ index: e.index, sub: e.sub, length: e.size })), { endpoint }) : [];
  const read = new Map();
  let partial = false;
  const records = entries.map((e, i) => {
    const record = { index: hex(e.index, 4), sub: hex(e.sub, 2), name: e.name, type: e.type, size: e.size,
      writable: e.writable };
    let { code, bytes } = results[i];
    if (code === 0 && bytes.length !== e.size) code = WRONG_LENGTH;  // a short entry is not its value
    if (code !== 0) partial = true;
    if (code === 0) {
      const value = snapshotValue(e.type, bytes);
      if (value !== undefined) record.value = value;
      record.raw = rawHex(bytes);
      read.set(key(e.index, e.sub), record);
    } else {
      record.code = code >>> 0;
      record.codeHex = hex(code, 8);
    }
    return record;
  });
  const valueOf = (index, sub) => read.get(key(index, sub))?.value;
  const identity = {};
  ['maker', 'product', 'revision', 'serial'].forEach((field, i) => {
    const value = valueOf(0x1018, i + 1);
    if (value !== undefined) identity[field] = value;
  });
  // A file that lacks values says so (the page asks before it downloads one);
  // a whole file has no such key.
  const device = { name: valueOf(0x1008, 0) ?? null, identity };
  if (partial) device.partial = true;
  return { format: SNAPSHOT_FORMAT, version: SNAPSHOT_VERSION, taken, device, entries: records };
}

// The file's text: two-space indented JSON and a final newline.
export const snapshotText = (snapshot) => JSON.stringify(snapshot, null, 2) + '\n';

// Checks a snapshot (its text or the parsed object) against the device's
// dictionary, then reads the current values of its entries, and resolves to
// the plan: { rows, counts, restorable }, one row per record of the file in its order:
//   { index, sub, label, name, type, size, writable, action, raw, current }
// action: 'change' (writable, differs or unreadable now), 'unchanged',
// 'read-only' (differs, never written), 'unknown' (not in the dictionary),
// 'skipped' (unread at save time: no raw). raw: the file's bytes;
// current: { code, bytes } as read now. Any fault in the file rejects with a
// SnapshotError before any call.
export async function planRestore(snapshot, dictionary, { endpoint = ENDPOINT } = {}) {
  const entries = dictionaryEntries(dictionary);
  const rows = checkSnapshot(snapshot, entries);
  const known = rows.filter((r) => r.action === null);
  const current = known.length
    ? await readMany(known.map((r) => ({ index: r.index, sub: r.sub, length: r.size })), { endpoint }) : [];
  known.forEach((r, i) => {
    const { code, bytes } = current[i];
    r.current = { code: code === 0 && bytes.length !== r.size ? WRONG_LENGTH : code, bytes };
    if (r.current.code === 0 && sameBytes(bytes, r.raw)) r.action = 'unchanged';
    else r.action = r.writable ? 'change' : 'read-only';
  });
  const counts = { change: 0, unchanged: 0, 'read-only': 0, unknown: 0, skipped: 0 };
  for (const r of rows) counts[r.action]++;
  // 0: every record was unread at save or is unknown to the device; such a
  // file restores nothing, which the page reports as a failure.
  const restorable = counts.change + counts.unchanged + counts['read-only'];
  return { rows, counts, restorable };
}

function checkSnapshot(snapshot, entries) {
  let file = snapshot;
  if (typeof snapshot === 'string') {
    try {
      file = JSON.parse(snapshot);
    } catch (err) {
      throw new SnapshotError(['not JSON: ' + err.message]);
    }
  }
  const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
  if (!isObject(file) || file.format !== SNAPSHOT_FORMAT)
    throw new SnapshotError(['not a snapshot: "format" is not "' + SNAPSHOT_FORMAT + '"']);
  if (!wholeNumber(file.version, 1, Infinity))
    throw new SnapshotError(['"version" is not a whole number of 1 or more']);
  if (file.version > SNAPSHOT_VERSION)
    throw new SnapshotError(['snapshot version ' + file.version + ' is newer than this reader (' +
      SNAPSHOT_VERSION + ')']);
  if (!Array.isArray(file.entries)) throw new SnapshotError(['"entries" is not a list']);

  const dictionary = new Map(entries.map((e) => [key(e.index, e.sub), e]));
  const faults = [], rows = [], seen = new Set();
  file.entries.forEach((record, i) => {
    const index = hexNumber(record?.index, 4), sub = hexNumber(record?.sub, 2);
    if (!isObject(record) || index === null || sub === null) {
      faults.push('record ' + (i + 1) + ': "index" and "sub" are "0x" and 4 or 2 hex digits');
      return;
    }
    const fault = (reason) => faults.push(entryName(index, sub) + ': ' + reason);
    if (seen.has(key(index, sub))) return fault('given twice');
    seen.add(key(index, sub));
    const e = dictionary.get(key(index, sub));
    const row = { index, sub, label: entryLabel(index, sub), name: e ? e.name : String(record.name ?? ''),
      type: e ? e.type : record.type, size: e ? e.size : record.size, writable: e ? e.writable : false, action: null,
      raw: null, current: null };
    if ('code' in record) {  // unread at save time
      if (!wholeNumber(record.code, 0, 0xFFFFFFFF)) return fault('"code" is not an unsigned 32-bit number');
      rows.push(Object.assign(row, { action: 'skipped', code: record.code }));
      return;
    }
    if (typeof record.raw !== 'string' || !/^(?:[0-9a-fA-F]{2})*$/.test(record.raw))
      return fault(typeof record.raw === 'string' ? '"raw" is not hex' : 'neither "raw" nor "code"');
    row.raw = fromHex(record.raw);
    if (!e) {  // never written
      rows.push(Object.assign(row, { action: 'unknown' }));
      return;
    }
    if (record.type !== e.type)
      return fault('type ' + (typeof record.type === 'string' ? record.type : '(none)') + ' differs from the device\'s ' +
        e.type);
    if (!wholeNumber(record.size, 0, Infinity) || record.size !== e.size)
      return fault('size ' + ('size' in record ? JSON.stringify(record.size) : '(none)') + ' differs from the device\'s ' +
        e.size);
    if (row.raw.length !== e.size) return fault('"raw" holds ' + row.raw.length + ' bytes, not ' + e.size);
    if ('value' in record && !(e.type === 'bytes' && record.value === pairs(row.raw))) {  // a save's, without parsing 1 MiB
      const shown = typeof record.value === 'string' ? shownBytes(e.type, record.value, e.size) : { error: 'not a string' };
      if (shown.error) return fault('"value" does not fit: ' + shown.error);
      if (!sameBytes(shown.bytes, row.raw))
        return fault('"value" ' + JSON.stringify(record.value) + ' differs from "raw" ' + record.raw);
    }
    if (e.writable && !fitsWrite(e.size)) return faults.push(entryName(index, sub) + ' is too large for one call');
    rows.push(row);
  });
  if (faults.length) throw new SnapshotError(faults);
  return rows;
}

// Carries out a plan: writes the rows to change in as few calls as the
// limits allow, reads the written ones back and compares them with the
// file. Resolves to the report: { rows, counts, restorable (the plan's) }, one row per plan row:
//   { ...the plan row, result, code, text }
// result: 'verified' (written and read back equal), 'write-failed' (code,
// or no code when the call got no answer), 'mismatch' (read back differs
// or cannot be read), 'skipped' (not to be written: text says why).
export async function restore(plan, { endpoint = ENDPOINT } = {}) {
  const rows = plan.rows.map((r) => ({ ...r, result: 'skipped', code: r.code ?? null, text: 'skipped: ' + {
    unchanged: 'unchanged', 'read-only': 'read-only, differs', unknown: 'unknown to the device',
    skipped: 'not read at save time', change: '',
  }[r.action] }));
  const todo = rows.filter((r) => r.action === 'change');
  const written = await writeMany(todo.map((r) => ({ index: r.index, sub: r.sub, bytes: r.raw })), { endpoint });
  const done = [];
  todo.forEach((r, i) => {
    const w = written[i];
    if (w.error) {
      const code = w.error instanceof KxrFault ? w.error.faultcode >>> 0 : null;
      Object.assign(r, { result: 'write-failed', code,
        text: 'write failed: ' + (code === null ? w.error.message : codeLine(code) + ' (the whole call)') });
    } else if (w.code !== 0) {
      Object.assign(r, { result: 'write-failed', code: w.code, text: 'write failed: ' + codeLine(w.code) });
    } else {
      done.push(r);
    }
  });
  let back = null, failure = null;
  try {
    back = done.length
      ? await readMany(done.map((r) => ({ index: r.index, sub: r.sub, length: r.size })), { endpoint }) : [];
  } catch (err) {
    failure = err;
  }
  done.forEach((r, i) => {
    if (failure) {
      Object.assign(r, { result: 'mismatch', code: failure instanceof KxrFault ? failure.faultcode >>> 0 : null,
        text: 'written, but the read-back failed: ' + failure.message });
    } else if (back[i].code !== 0) {
      Object.assign(r, { result: 'mismatch', code: back[i].code,
        text: 'written, but reads back ' + codeLine(back[i].code) });
    } else if (!sameBytes(back[i].bytes, r.raw)) {
      Object.assign(r, { result: 'mismatch', code: 0, back: back[i].bytes, text: 'verify mismatch: reads back ' +
        formatValue(r.type, back[i].bytes) });
    } else {
      Object.assign(r, { result: 'verified', code: 0, text: 'written and verified' });
    }
  });
  const counts = { verified: 0, 'write-failed': 0, mismatch: 0, skipped: 0 };
  for (const r of rows) counts[r.result]++;
  return { rows, counts, restorable: plan.restorable };
}

const codeLine = (code) => hex(code, 8) + ' ' + meaning(code);
