// Device dictionary page: reads every entry listed below in one sum-up read,
// writes the edited ones in one sum-up write and reads everything back.
// Plain JavaScript, no build step; talks to the ReadWrite web service.
'use strict';

(function () {
  // The service has no listing call, so the page carries the entries it
  // shows. type: u8/u16/u32 (little-endian numbers), text (zero-padded
  // characters) or bytes (raw hex); size is the entry's fixed size.
  const ENTRIES = [
    { index: 0x1000, sub: 0x00, name: 'Device kind', type: 'u32', size: 4, rw: false },
    { index: 0x1008, sub: 0x00, name: 'Device name', type: 'text', size: 8, rw: false },
    { index: 0x1009, sub: 0x00, name: 'Hardware version', type: 'text', size: 4, rw: false },
    { index: 0x1018, sub: 0x00, name: 'Identity: highest sub-index', type: 'u8', size: 1, rw: false },
    { index: 0x1018, sub: 0x01, name: 'Identity: maker code', type: 'u32', size: 4, rw: false },
    { index: 0x1018, sub: 0x02, name: 'Identity: product code', type: 'u32', size: 4, rw: false },
    { index: 0x1018, sub: 0x03, name: 'Identity: revision', type: 'u32', size: 4, rw: false },
    { index: 0x1018, sub: 0x04, name: 'Identity: serial number', type: 'u32', size: 4, rw: false },
    { index: 0x2000, sub: 0x00, name: 'Settings: highest sub-index', type: 'u8', size: 1, rw: false },
    { index: 0x2000, sub: 0x01, name: 'Settings: cycle time', type: 'u16', size: 2, rw: true },
    { index: 0x2000, sub: 0x02, name: 'Settings: timeout', type: 'u32', size: 4, rw: true },
    { index: 0x2000, sub: 0x03, name: 'Settings: enabled', type: 'u8', size: 1, rw: true },
    { index: 0x2100, sub: 0x00, name: 'Scratch area', type: 'bytes', size: 16, rw: true },
    { index: 0x2100, sub: 0x01, name: 'Scratch area, long', type: 'bytes', size: 600, rw: true },
    { index: 0x6000, sub: 0x01, name: 'Inputs 1', type: 'u32', size: 4, rw: false },
    { index: 0x6000, sub: 0x02, name: 'Inputs 2', type: 'u8', size: 1, rw: false },
  ];

  const ENDPOINT = 'KxrWebService/KxrWebService.dll';  // relative: works below /config too
  const SUMUP_READ = 0xF080;
  const SUMUP_WRITE = 0xF081;

  // Meanings of the result codes: the service's own and the device's.
  const MEANINGS = {
    0x00000000: 'Success',
    0xA03D0001: 'Unspecific error',
    0xA03D0003: 'Invalid SOAP message',
    0xA03D0100: 'Out of memory',
    0xA03D0101: 'Readbuffer too small',
    0xA03D0102: 'Invalid writebuffer',
    0xA03D0103: 'Out of range',
    0xA03D0104: 'Invalid argument',
    0xA03D0105: 'Maximum amount of subcommands reached',
    0xA03D0106: 'Maximum length of readbuffer reached',
    0xA03D0107: 'Maximum length of writebuffer reached',
    0xECA60102: 'Entry longer than the bytes wanted (the first bytes are delivered)',
    0xECA60104: 'Length above 1 MiB, or out of memory',
    0xECA60107: 'Invalid arguments',
    0xECA60200: 'Device-profile service refused the connection',
    0xECA60201: 'Device-profile service not running',
    0xECA60301: 'No such object or sub-index',
    0xECA60302: 'Length differs from the entry\'s size',
    0xECA60303: 'Entry is read-only',
    0xECA60304: 'Malformed entry access',
    0xECA60FFF: 'Malformed answer from the device-profile service',
  };

  function hex(value, digits) {
    return '0x' + (value >>> 0).toString(16).toUpperCase().padStart(digits, '0');
  }

  function entryName(e) {
    return hex(e.index, 4) + ':' + e.sub.toString(16).toUpperCase().padStart(2, '0');
  }

  function meaning(code) {
    code >>>= 0;
    if (code in MEANINGS) return MEANINGS[code];
    if ((code & 0xFFFF0000) >>> 0 === 0xECA70000) return 'System error ' + (code & 0xFFFF);
    return 'Unknown error';
  }

  // --- bytes, Base64 and little-endian words -------------------------------

  function toBase64(bytes) {
    let text = '';
    for (let i = 0; i < bytes.length; i += 0x8000)
      text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    return btoa(text);
  }

  function fromBase64(text) {
    const raw = atob(text);
    const bytes = new Uint8Array(raw.length);
    for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
    return bytes;
  }

  function u32At(bytes, offset) {
    return new DataView(bytes.buffer, bytes.byteOffset).getUint32(offset, true);
  }

  // The 12-byte sub-request header: group word, sub-index, flags, index, length.
  function putHeader(view, offset, e, length) {
    view.setUint32(offset, 0, true);
    view.setUint8(offset + 4, e.sub);
    view.setUint8(offset + 5, 0);
    view.setUint16(offset + 6, e.index, true);
    view.setUint32(offset + 8, length, true);
  }

  // --- values: display and parsing -----------------------------------------

  const BITS = { u8: 8, u16: 16, u32: 32 };

  function display(e, bytes) {
    if (e.type in BITS) {
      let value = 0;
      for (let i = bytes.length - 1; i >= 0; i--) value = value * 256 + bytes[i];
      return value + ' (' + hex(value, bytes.length * 2) + ')';
    }
    if (e.type === 'text') {
      const end = bytes.indexOf(0);
      return '"' + String.fromCharCode.apply(null, end < 0 ? bytes : bytes.subarray(0, end)) + '"';
    }
    return Array.from(bytes, (b) => b.toString(16).toUpperCase().padStart(2, '0')).join(' ');
  }

  // Returns { bytes } or { error } for what the user typed.
  function parseValue(e, text) {
    text = text.trim();
    if (e.type in BITS) {
      const bits = BITS[e.type];
      if (!/^(0[xX][0-9a-fA-F]+|[0-9]+)$/.test(text))
        return { error: 'not a number (decimal, or hexadecimal with 0x)' };
      const value = Number(text);
      const max = 2 ** bits - 1;
      if (!Number.isSafeInteger(value) || value > max) return { error: 'out of range 0 to ' + max };
      const bytes = new Uint8Array(e.size);
      for (let i = 0, v = value; i < e.size; i++, v = Math.floor(v / 256)) bytes[i] = v % 256;
      return { bytes };
    }
    if (e.type === 'text') {
      if (!/^[\x20-\x7E]*$/.test(text)) return { error: 'only plain ASCII characters' };
      if (text.length > e.size) return { error: 'at most ' + e.size + ' characters' };
      const bytes = new Uint8Array(e.size);
      for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
      return { bytes };
    }
    const out = [];
    for (const token of text.split(/\s+/).filter(Boolean)) {
      const repeat = /^([0-9a-fA-F]{2})\*([0-9]+)$/.exec(token);
      if (repeat) {
        const count = Number(repeat[2]);
        if (count > e.size) return { error: 'exactly ' + e.size + ' bytes wanted' };
        for (let i = 0; i < count; i++) out.push(parseInt(repeat[1], 16));
      } else if (/^([0-9a-fA-F]{2})+$/.test(token)) {
        for (let i = 0; i < token.length; i += 2) out.push(parseInt(token.substr(i, 2), 16));
      } else {
        return { error: 'hex byte pairs such as 12 AB, or HH*N' };
      }
    }
    if (out.length !== e.size)
      return { error: 'exactly ' + e.size + ' bytes wanted, ' + out.length + ' given' };
    return { bytes: Uint8Array.from(out) };
  }

  // --- the ReadWrite call ----------------------------------------------------

  class Fault extends Error {
    constructor(code, text) {
      super('Fault ' + code + ': ' + text);
      this.code = code;
      this.text = text;
    }
  }

  function envelope(group, count, cbRdLen, pwrData) {
    return '<?xml version="1.0"?>' +
      '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body>' +
      '<u:ReadWrite xmlns:u="urn:KxrWebService"><netId></netId><nPort>0</nPort>' +
      '<indexGroup>' + group + '</indexGroup><indexOffset>' + count + '</indexOffset>' +
      '<cbRdLen>' + cbRdLen + '</cbRdLen><pwrData>' + toBase64(pwrData) + '</pwrData>' +
      '</u:ReadWrite></SOAP-ENV:Body></SOAP-ENV:Envelope>';
  }

  // Posts one call; resolves to the decoded result, rejects with a Fault or
  // an Error for transport problems.
  async function readWrite(group, count, cbRdLen, pwrData) {
    let answer;
    try {
      answer = await fetch(ENDPOINT, {
        method: 'POST',
        headers: { 'Content-Type': 'text/xml; charset=utf-8' },
        body: envelope(group, count, cbRdLen, pwrData),
        cache: 'no-store',
      });
    } catch (err) {
      throw new Error('the web service cannot be reached (' + err.message + ')');
    }
    if (!answer.ok) throw new Error('the web service answered HTTP ' + answer.status);
    const doc = new DOMParser().parseFromString(await answer.text(), 'text/xml');
    const faultcode = doc.getElementsByTagName('faultcode')[0];
    if (faultcode) {
      const faultstring = doc.getElementsByTagName('faultstring')[0];
      throw new Fault(Number(faultcode.textContent), faultstring ? faultstring.textContent : '');
    }
    const data = doc.getElementsByTagName('ppRdData')[0];
    if (!data) throw new Error('the web service gave an answer that is neither a result nor a fault');
    return fromBase64(data.textContent);
  }

  // One sum-up read of the given entries; resolves to [{ code, bytes }].
  async function readEntries(list) {
    const headers = new Uint8Array(12 * list.length);
    const view = new DataView(headers.buffer);
    let cbRdLen = 8 * list.length;
    list.forEach((e, i) => { putHeader(view, 12 * i, e, e.size); cbRdLen += e.size; });
    const result = await readWrite(SUMUP_READ, list.length, cbRdLen, headers);
    let offset = 8 * list.length;
    return list.map((e, i) => {
      const code = u32At(result, 8 * i);
      const length = u32At(result, 8 * i + 4);
      const bytes = result.subarray(offset, offset + length);
      offset += length;
      return { code, bytes };
    });
  }

  // One sum-up write of [{ entry, bytes }]; resolves to the result codes.
  async function writeEntries(items) {
    const total = items.reduce((sum, it) => sum + it.bytes.length, 12 * items.length);
    const buffer = new Uint8Array(total);
    const view = new DataView(buffer.buffer);
    let offset = 12 * items.length;
    items.forEach((it, i) => {
      putHeader(view, 12 * i, it.entry, it.bytes.length);
      buffer.set(it.bytes, offset);
      offset += it.bytes.length;
    });
    const result = await readWrite(SUMUP_WRITE, items.length, 4 * items.length, buffer);
    if (result.length < 4 * items.length) throw new Error('the write result is too short');
    return items.map((_, i) => u32At(result, 4 * i));
  }

  // --- the page ----------------------------------------------------------------

  const rows = new Map();  // entry -> its cells
  const statusBox = document.getElementById('status');
  const readButton = document.getElementById('read');
  const writeButton = document.getElementById('write');

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

  function showFailure(what, err) {
    if (err instanceof Fault)
      setStatus('error', what + ' failed: fault ' + err.code + ' (' + hex(err.code, 8) + '): ' + err.text);
    else
      setStatus('error', what + ' failed: ' + err.message);
  }

  // Reads everything and shows it; the result column keeps write results
  // unless keepResults is false.
  async function readAll(keepResults) {
    const table = document.getElementById('entries');
    let results;
    try {
      results = await readEntries(ENTRIES);
    } catch (err) {
      table.classList.add('stale');  // the values shown are no longer known to be current
      throw err;
    }
    table.classList.remove('stale');
    ENTRIES.forEach((e, i) => {
      const cells = rows.get(e);
      const r = results[i];
      cells.value.textContent = r.bytes.length ? display(e, r.bytes) : '—';
      cells.value.title = r.bytes.length + (r.bytes.length === 1 ? ' byte' : ' bytes');
      if (!keepResults || r.code !== 0) setResult(cells, r.code, 'read');
      if (e.index === 0x1008 && r.code === 0) document.getElementById('device').textContent = display(e, r.bytes);
    });
    return results.filter((r) => r.code !== 0).length;
  }

  async function busy(work) {
    readButton.disabled = writeButton.disabled = true;
    try { await work(); } finally { readButton.disabled = writeButton.disabled = false; }
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
    const items = [];
    let invalid = 0;
    for (const [e, cells] of rows) {
      if (!cells.input || cells.input.value.trim() === '') continue;
      const parsed = parseValue(e, cells.input.value);
      if (parsed.error) {
        invalid++;
        cells.input.classList.add('invalid');
        cells.error.textContent = parsed.error;
      } else {
        items.push({ entry: e, bytes: parsed.bytes, cells });
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
      codes = await writeEntries(items);
    } catch (err) {
      showFailure('Writing', err);
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

  buildTable();
  readButton.addEventListener('click', () => busy(onRead));
  writeButton.addEventListener('click', () => busy(onWrite));
  document.getElementById('form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    busy(onWrite);
  });
  busy(onRead);
})();
