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
// problems reject with a plain Error.

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
  return Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
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
