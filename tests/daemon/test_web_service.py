# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The web service end to end against the service simulator: read, write and read back, and the faults of a call,
# every document byte for byte (malformed batches that write nothing: the engine's unit tests); the callers' roles
# as the front server's fields give them, decided on the daemon's own parse, and the audit lines of writes.
import pytest
from conftest import (EP, READ, WRITE, NO_SERVICE, call, entry_answer, entry_request, exchange, fault_doc, hdr, le32, parse,
                      post, response_doc, result, soap)


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



DENIED = fault_doc(signed(0xA03D0006), "Access denied")
VIEWER, OPERATOR = "X-Kxr-User: vera\r\nX-Kxr-Role: viewer\r\n", "X-Kxr-User: otto\r\nX-Kxr-Role: operator\r\n"
WR, RD = call(WRITE, 1, 4, WORD + b"\x34\x12"), call(READ, 1, 10, WORD)


def as_caller(fields, body):  # the answer document of a call with these header fields
    answer = parse(exchange(post(EP, body).replace(b"Content-Type", fields.encode() + b"Content-Type", 1)))
    assert answer and answer[0] == 200, answer
    return answer[2]


def group_as(text): return WR.replace(b"<indexGroup>61569</indexGroup>", text.encode())


def answering(msg, n):  # every entry done, the second of a batch refused
    index, sub, data = entry_request(msg)
    return entry_answer(0xECA60304 if n == 2 else 0, b"" if data is not None else b"\x34\x12", index, sub)


@pytest.mark.parametrize("fields, body, runs", [
    (VIEWER, WR, None),
    (VIEWER, call(0xF304, 1, 10, WORD), None),                           # any group but the sum-up read
    (VIEWER, group_as("<indexGroup>61569</indexGroup><indexGroup>61568</indexGroup>"), None),  # the first counts
    (VIEWER, RD.replace(b"<indexGroup>", b"<!--<indexGroup>61569</indexGroup>--><indexGroup>"), None),
    (VIEWER, RD.replace(b"</indexGroup>", b"</indexGroup><!--<indexGroup>61569</indexGroup>-->"), "read"),
    (VIEWER, group_as("<indexGroup> \n+0061569</indexGroup>"), None),
    (VIEWER, group_as("<indexGroup>4295028865</indexGroup>"), None),     # 2^32 + 0xF081, narrowed to an int
    (VIEWER, b"<u:ReadWrite><indexGroup>61568</indexGroup>", None),      # not a call
    (VIEWER.lower(), WR, None),                                           # field names in any case
    (VIEWER, RD, "read"),
    ("X-Kxr-User: vera\r\nX-Kxr-Role: Viewer\r\n", RD, None),
    ("X-Kxr-User: vera\r\nX-Kxr-Role:\r\n", RD, None),
    (VIEWER + "X-Kxr-Role: viewer\r\n", RD, None),
    (OPERATOR + "X-Kxr-Role: operator\r\n", WR, None),
    ("X-Kxr-User: vera\r\n", RD, None),
    ("X-Kxr-Role: operator\r\n", WR, None),
    ("X-Kxr-User: otto\r\nX-Kxr-Role: operator \r\n", WR, "write"),  # blanks trimmed
    ("", WR, "write"),
])
def test_roles(st, daemon, fake, fields, body, runs):
    service = fake(answering)
    answer = as_caller(fields, body)
    assert answer == {None: DENIED, "read": response_doc(le32(0, 2) + b"\x34\x12"), "write": response_doc(le32(0))}[runs]
    assert [entry_request(m)[2] for m in service.requests] == {None: [], "read": [None], "write": [b"\x34\x12"]}[runs]
    assert len([r for r in st.syslog.lines() if r[4].startswith("audit: ")]) == (runs != "read")


BATCH = call(WRITE, 13, 52, b"".join(hdr(0x2000, i, 2) for i in range(13)) + bytes(26))
WHO = "user=Ann\\x20Lee\\xC3\\xA9 role=operator client=192.0.2.7 group=0xF081 entries=13"
DONE = ", ".join(f"0x2000:{i:02X} 2 bytes 0x{0xECA60304 if i == 1 else 0:08X}" for i in range(13))


@pytest.mark.parametrize("fields, body, lines", [
    ("X-Kxr-User: Ann Lee\u00e9\r\nX-Kxr-Role: operator\r\nX-Kxr-Client: 192.0.2.7\r\n", BATCH,  # in parts of 12
     [f"audit: write {WHO} part=1/2: {DONE[:DONE.index(', 0x2000:0C')]}", f"audit: write {WHO} part=2/2: 0x2000:0C 2 bytes 0x00000000"]),
    ("", call(WRITE, 2, 8, WORD), ["audit: write user=(socket) role=(socket) client=- group=0xF081 entries=2 fault=0xA03D0102"]),
    (VIEWER + "X-Kxr-Client: 192.0.2.7\r\n", WR, ["audit: refused user=vera role=viewer client=192.0.2.7 group=0xF081 entries=1"]),
    ("X-Kxr-User: vera\r\n", b"<u:ReadWrite>", ["audit: refused user=vera role=- client=- group=? entries=?"]),
])
def test_audit_lines(st, daemon, fake, fields, body, lines):
    fake(answering)
    as_caller(fields, body)
    assert [r[:1] + r[4:] for r in st.syslog.lines() if r[4].startswith("audit: ")] == [(NOTICE, line) for line in lines]
