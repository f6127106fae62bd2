// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Reads two entries with node soap, its client built from the service's WSDL,
// signed in as KXR_USER (default operator) with the password in KXR_PASSWORD.
//   (cd tests/contract && npm ci) && KXR_PASSWORD=... node tests/contract/example-soap.mjs [https://127.0.0.1:8443/ [CA_FILE]]
import { readFileSync } from 'node:fs';
import { Agent } from 'node:https';
import { BasicAuthSecurity, createClientAsync } from 'soap';

const [base = 'https://127.0.0.1:8443/', caFile] = process.argv.slice(2);
const user = process.env.KXR_USER ?? 'operator', password = process.env.KXR_PASSWORD;
// The device's certificate, or the system's CAs.
const httpsAgent = new Agent(caFile ? { ca: readFileSync(caFile) } : {});
const signIn = 'Basic ' + Buffer.from(`${user}:${password}`).toString('base64');
// The WSDL names the call u:ReadWrite, so soap writes <u:ReadWrite xmlns:u="urn:KxrWebService">.
const client = await createClientAsync(base + 'KxrWebService.wsdl',
  { wsdl_headers: { Authorization: signIn }, wsdl_options: { httpsAgent } });
client.setSecurity(new BasicAuthSecurity(user, password, { httpsAgent }));
client.setEndpoint(base + 'KxrWebService/KxrWebService.dll');

const entries = [[0x1018, 1, 4], [0x1008, 0, 8]]; // object index, sub-index, length
// One 12-byte header per entry: group word, sub-index, flags, index, length.
const headers = Buffer.alloc(12 * entries.length);
entries.forEach(([index, sub, size], i) => {
  headers.writeUInt8(sub, 12 * i + 4);
  headers.writeUInt16LE(index, 12 * i + 6);
  headers.writeUInt32LE(size, 12 * i + 8);
});
try {
  const [answer] = await client.ReadWriteAsync({
    netId: '', nPort: 0, indexGroup: 0xF080,
    indexOffset: entries.length, cbRdLen: 100, pwrData: headers.toString('base64'),
  });
  // ppRdData carries an attribute, so soap gives its text as $value.
  const result = Buffer.from(answer.ppRdData.$value, 'base64');
  let at = 8 * entries.length;
  entries.forEach(([index, sub], i) => {
    const code = result.readInt32LE(8 * i), size = result.readUInt32LE(8 * i + 4);
    const name = '0x' + index.toString(16).toUpperCase().padStart(4, '0');
    console.log(`${name}:${sub} code ${code} ${result.subarray(at, at + size).toString('hex')}`);
    at += size;
  });
} catch (error) {
  const fault = error.root?.Envelope?.Body?.Fault; // a SOAP Fault; anything else is thrown on
  if (!fault) throw error;
  console.error(`Fault ${fault.faultcode.$value}: ${fault.faultstring.$value}`);
  process.exitCode = 1;
}
