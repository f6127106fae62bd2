// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// ReadWrite from node soap, built from the WSDL that nginx serves; run by tests/contract/run (KXR_URL: nginx). What
// goes on the wire is kept in KXR_WIRE for test_zeep.py to check as its own.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { appendFileSync, readFileSync } from 'node:fs';
import { Agent } from 'node:https';
import { before, test } from 'node:test';
import { promisify } from 'node:util';
import { BasicAuthSecurity, createClientAsync } from 'soap';

const url = process.env.KXR_URL;
const skip = url ? false : 'needs the stack: tests/contract/run';
const READ = 61568, WRITE = 61569;
const exampleOutput = '0x1018:1 code 0 78563412\n0x1008:0 code 0 4b58522d53494d00\n';
const here = new URL('.', import.meta.url);

let client, sent;
before(async () => {
  if (skip) return;
  const httpsAgent = new Agent({ ca: readFileSync(process.env.KXR_CACERT) });
  const password = process.env.KXR_OPERATOR_PASSWORD;
  client = await createClientAsync(url + 'KxrWebService.wsdl', {
    wsdl_headers: { Authorization: 'Basic ' + Buffer.from(`operator:${password}`).toString('base64') },
    wsdl_options: { httpsAgent },
  });
  client.setSecurity(new BasicAuthSecurity('operator', password, { httpsAgent }));
  client.setEndpoint(url + 'KxrWebService/KxrWebService.dll');
  client.on('request', (xml) => sent.push(xml));
});

async function call(indexGroup, indexOffset, cbRdLen, buffer) {
  sent = [];
  try {
    const [answer] = await client.ReadWriteAsync({
      netId: '', nPort: 0, indexGroup, indexOffset, cbRdLen, pwrData: buffer.toString('base64'),
    });
    return Buffer.from(answer.ppRdData.$value, 'base64');
  } finally {
    assert.equal(sent.length, 1);
    appendFileSync(process.env.KXR_WIRE, JSON.stringify([client.lastRequestHeaders['Content-Type'], sent[0]]) + '\n');
  }
}

const header = (index, sub, size) =>
  Buffer.from([0, 0, 0, 0, sub, 0, index & 255, index >> 8, size & 255, size >> 8, 0, 0]);
const records = (result, count) => [Array.from({ length: count }, (_, i) => [result.readInt32LE(8 * i),
  result.readUInt32LE(8 * i + 4)]), result.subarray(8 * count).toString('hex')];

// A sum-up read of several entries: the integrator guide's example, below.
test('a sum-up write, then a read back', { skip }, async () => {
  const written = await call(WRITE, 1, 4, Buffer.concat([header(0x2000, 1, 2), Buffer.from([0x5a, 0x2a])]));
  assert.equal(written.toString('hex'), '00000000');
  assert.deepEqual(records(await call(READ, 1, 10, header(0x2000, 1, 2)), 1), [[[0, 2]], '5a2a']);
});

test('a Fault: no room for the result record', { skip }, async () => {
  await assert.rejects(call(READ, 1, 4, header(0x1018, 1, 4)), (error) => {
    const fault = error.root?.Envelope?.Body?.Fault;
    assert.deepEqual([fault?.faultcode?.$value, fault?.faultstring?.$value], ['-1606614783', 'Readbuffer too small']);
    assert.equal(error.message, '-1606614783: Readbuffer too small');
    return true;
  });
});

test('the integrator guide\'s example, as printed', { skip }, async () => {
  const example = readFileSync(new URL('example-soap.mjs', here), 'utf8');
  const guide = readFileSync(new URL('../../docs/integrator.md', here), 'utf8');
  assert.ok(guide.includes(example.split('\n').slice(2).join('\n')), 'docs/integrator.md does not show example-soap.mjs as it is');
  const run = await promisify(execFile)(process.execPath, [new URL('example-soap.mjs', here).pathname, url, process.env.KXR_CACERT],
    { timeout: 30000, env: { ...process.env, KXR_PASSWORD: process.env.KXR_OPERATOR_PASSWORD } });
  assert.deepEqual([run.stderr, run.stdout], ['', exampleOutput]);
  assert.ok(guide.includes(exampleOutput));
});
