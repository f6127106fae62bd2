# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The web service end to end against the service simulator: read, write and read back, and the faults of a call,
# every document byte for byte (malformed batches that write nothing: the engine's unit tests).
import pytest
from conftest import READ, WRITE, NO_SERVICE, call, fault_doc, hdr, le32, result, soap


def signed(code): return code - (1 << 32) if code >= 1 << 31 else code


INVALID_SOAP, INVALID_WRITEBUF = signed(0xA03D0003), signed(0xA03D0102)
NOTICE = 5  # syslog's priority for diagnostics
WORD = hdr(0x2000, 1, 2)  # a writable entry of two bytes


@pytest.fixture
def sim(st):
    st.start_sim()
    assert st.start_daemon().ready


def test_read_write_and_read_back(sim):
    reads = hdr(0x1018, 1, 4) + hdr(0x1008, 0, 8) + hdr(0x7777, 1, 2) + hdr(0x1008, 0, 3) + hdr(0x2100, 1, 600)
    assert result(call(READ, 5, 1000, reads)) == (le32(0, 4, 0, 8, 0xECA60301, 0, 0xECA60102, 3, 0, 600) +
                                                  b"\x78\x56\x34\x12KXR-SIM\0KXR" + bytes(600))
    # a writable entry, a read-only one, one of another size
    writes = WORD + hdr(0x1018, 1, 4) + hdr(0x2000, 2, 2) + b"\x34\x12abcdef"
    assert result(call(WRITE, 3, 12, writes)) == le32(0, 0xECA60303, 0xECA60302)
    assert result(call(READ, 1, 10, WORD)) == le32(0, 2) + b"\x34\x12"


@pytest.mark.parametrize("body, doc, logged", [
    (call(READ, 1, 12, hdr(0x1018, 1, 4)), fault_doc(signed(NO_SERVICE), "Unknown error"), True),
    (call(READ, 1, 12, b"", "\n    AAAAAAEAGBAEAAAA\n  "), fault_doc(INVALID_WRITEBUF, "Invalid writebuffer"), True),
    (call(READ, 0, 12, hdr(0x1018, 1, 4)), fault_doc(signed(0xA03D0104), "Invalid argument"), True),
    (b"<m:ReadWrite><nPort>1</nPort></m:ReadWrite>", fault_doc(INVALID_SOAP, "Invalid SOAP message"), False),
])
def test_faults_are_documents(st, body, doc, logged):
    assert st.start_daemon(["-nofork", "-v"]).ready
    assert soap(body) == doc
    assert not logged or st.syslog.wait_for(doc.decode())  # the engine's faults, whole, in verbose mode
    assert [r[0] for r in st.syslog.lines() if r[4] == doc.decode()] == ([NOTICE] if logged else [])

