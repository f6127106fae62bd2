// The device pages' list of entries (contrib/www/dictionary.json) is the simulator's sample dictionary.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { TYPES, parseValue } from '../../contrib/www/kxr-client.js';

const read = (path) => readFileSync(new URL('../../' + path, import.meta.url), 'utf8');
const key = (index, sub) => index.toString(16).padStart(4, '0') + ':' + sub.toString(16).padStart(2, '0');

// "entry INDEX SUB ro|rw BYTES..." with HH*N for N copies; '#' starts a comment.
function sampleEntries() {
  const entries = new Map();
  for (const line of read('stand-ins/service-sim/sample-dictionary.txt').split('\n')) {
    const words = line.replace(/#.*/, '').trim().split(/\s+/);
    if (words[0] !== 'entry') continue;
    const size = words.slice(4).reduce((n, w) => n + (w.includes('*') ? Number(w.split('*')[1]) : w.length / 2), 0);
    entries.set(key(parseInt(words[1], 16), parseInt(words[2], 16)), { size, writable: words[3] === 'rw' });
  }
  return entries;
}

test('dictionary.json lists the sample dictionary\'s entries with their sizes and access', () => {
  const pages = JSON.parse(read('contrib/www/dictionary.json'));
  const sample = sampleEntries();
  assert.ok(sample.size >= 10, 'the sample dictionary was read');
  assert.deepEqual(new Map(pages.map((e) => [key(Number(e.index), Number(e.sub)), { size: e.size, writable: e.writable }])),
    sample);
  for (const e of pages) {
    assert.ok(TYPES.includes(e.type) && e.name, `${e.index}:${e.sub} has a name and a known type`);
    // An integer type's width is the entry's size.
    if (/^[ui]\d+$/.test(e.type)) assert.equal(parseValue(e.type, '0').bytes.length, e.size, e.name);
  }
});
