#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# Reads two entries with zeep, its client built from the service's WSDL.
#   /usr/bin/python3 tests/contract/example_zeep.py [http://127.0.0.1:8080/]
import struct
import sys

import zeep
from zeep.exceptions import Fault

base = sys.argv[1] if len(sys.argv) > 1 else "http://127.0.0.1:8080/"
client = zeep.Client(base + "KxrWebService.wsdl")
# The service finds the call as <u:ReadWrite; zeep's own choice would be ns0.
client.set_ns_prefix("u", "urn:KxrWebService")
service = client.create_service("{urn:KxrWebService}KxrWebServiceSoap",
                                base + "KxrWebService/KxrWebService.dll")

entries = [(0x1018, 1, 4), (0x1008, 0, 8)]  # object index, sub-index, length
# One 12-byte header per entry: group word, sub-index, flags, index, length.
headers = b"".join(struct.pack("<IBBHI", 0, sub, 0, index, size) for index, sub, size in entries)
try:
    result = service.ReadWrite(netId="0.0.0.0.0.0", nPort=0, indexGroup=0xF080,
                               indexOffset=len(entries), cbRdLen=100, pwrData=headers)
except Fault as fault:
    sys.exit(f"Fault {fault.code}: {fault.message}")
data = result[8 * len(entries):]
for i, (index, sub, _) in enumerate(entries):
    code, size = struct.unpack_from("<iI", result, 8 * i)
    print(f"0x{index:04X}:{sub} code {code} {data[:size].hex()}")
    data = data[size:]
