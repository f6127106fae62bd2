#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# Reads two entries with zeep, its client built from the service's WSDL,
# signed in as KXR_USER (default operator) with the password in KXR_PASSWORD.
#   KXR_PASSWORD=... /usr/bin/python3 tests/contract/example_zeep.py [https://127.0.0.1:8443/ [CA_FILE]]
import os
import struct
import sys

import requests
import zeep
from zeep.exceptions import Fault

base = sys.argv[1] if len(sys.argv) > 1 else "https://127.0.0.1:8443/"
session = requests.Session()
session.auth = (os.environ.get("KXR_USER", "operator"), os.environ["KXR_PASSWORD"])
session.verify = sys.argv[2] if len(sys.argv) > 2 else True  # the device's certificate, or the system's CAs
client = zeep.Client(base + "KxrWebService.wsdl", transport=zeep.Transport(session=session))
# The service finds the call as <u:ReadWrite; zeep's own choice would be ns0.
client.set_ns_prefix("u", "urn:KxrWebService")
service = client.create_service("{urn:KxrWebService}KxrWebServiceSoap",
                                base + "KxrWebService/KxrWebService.dll")

entries = [(0x1018, 1, 4), (0x1008, 0, 8)]  # object index, sub-index, length
# One 12-byte header per entry: group word, sub-index, flags, index, length.
headers = b"".join(struct.pack("<IBBHI", 0, sub, 0, index, size) for index, sub, size in entries)
try:
    result = service.ReadWrite(netId="", nPort=0, indexGroup=0xF080,
                               indexOffset=len(entries), cbRdLen=100, pwrData=headers)
except Fault as fault:
    sys.exit(f"Fault {fault.code}: {fault.message}")
data = result[8 * len(entries):]
for i, (index, sub, _) in enumerate(entries):
    code, size = struct.unpack_from("<iI", result, 8 * i)
    print(f"0x{index:04X}:{sub} code {code} {data[:size].hex()}")
    data = data[size:]
