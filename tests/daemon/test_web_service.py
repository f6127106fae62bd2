# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The web service end to end against the service simulator: read, write and read back, and the faults of a call,
# every document byte for byte (malformed batches that write nothing: the engine's unit tests); who calls, as the
# daemon itself knows it (root on the socket, a session, a Basic pair), what each role may call, decided on the
# daemon's own parse, and the audit lines.
import glob, os, re, subprocess, time
import pytest
from conftest import (EP, READ, WRITE, WWW, NO_SERVICE, S, basic, call, entry_answer, entry_request, exchange, fault_doc,
                      hdr, le32, parse, post, response_doc, result, sign_in, soap)


def signed(code): return code - (1 << 32) if code >= 1 << 31 else code


INVALID_SOAP, INVALID_WRITEBUF = signed(0xA03D0003), signed(0xA03D0102)
NOTICE = 5  # syslog's priority for diagnostics
WORD = hdr(0x2000, 1, 2)  # a writable entry of two bytes


def test_readme_calls_are_kxr_clis():  # the guides' SOAP bodies stay those kxr-cli --print-call builds
    readme = "".join(open(p).read() for p in sorted(glob.glob(os.path.join(S["source"], "docs", "*.md"))))
    assert re.findall(r"^<\?xml.*<u:ReadWrite .*$", readme, re.M) == [
        subprocess.run([S["cli"], "--print-call", *args.split()], capture_output=True, text=True, check=True).stdout
        for args in ("read 0x1018:1:4 0x1008:0:8", "write 0x2000:1=u16:0x1234")]


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
USERS = {"otto": ("op pass", "operator"), "vera": ("view pass", "viewer"), "nora": ("no role", None)}
VIEWER, OPERATOR = basic("vera", "view pass"), basic("otto", "op pass")
WR, RD = call(WRITE, 1, 4, WORD + b"\x34\x12"), call(READ, 1, 10, WORD)
WROTE = "group=0xF081 entries=1 part=1/1: 0x2000:01 2 bytes 0x00000000"


def as_caller(fields, body, uid=WWW):  # the answer (a document, or the status when not 200) of a call
    answer = parse(exchange(post(EP, body, fields=fields), uid=uid))
    return answer[2] if answer[0] == 200 else answer[0]


def group_as(text): return WR.replace(b"<indexGroup>61569</indexGroup>", text.encode())


def answering(msg, n):  # every entry done, the second of a batch refused
    index, sub, data = entry_request(msg)
    return entry_answer(0xECA60304 if n == 2 else 0, b"" if data is not None else b"\x34\x12", index, sub)


def audit(st): return [r[4] for r in st.syslog.lines() if r[4].startswith("audit: ")]


@pytest.mark.parametrize("fields, body, runs", [
    (VIEWER, WR, None),
    (VIEWER, call(0xF304, 1, 10, WORD), None),                           # any group but the sum-up read
    (VIEWER, group_as("<indexGroup>61569</indexGroup><indexGroup>61568</indexGroup>"), None),  # the first counts
    (VIEWER, RD.replace(b"<indexGroup>", b"<!--<indexGroup>61569</indexGroup>--><indexGroup>"), None),
    (VIEWER, RD.replace(b"</indexGroup>", b"</indexGroup><!--<indexGroup>61569</indexGroup>-->"), "read"),
    (VIEWER, group_as("<indexGroup> \n+0061569</indexGroup>"), None),
    (VIEWER, group_as("<indexGroup>4295028865</indexGroup>"), None),     # 2^32 + 0xF081, narrowed to an int
    (VIEWER, b"<u:ReadWrite><indexGroup>61568</indexGroup>", None),      # not a call
    (VIEWER, RD.replace(b"<pwrData>", b"<pwrDat>"), None),             # a read whose later parameters fail
    (VIEWER, RD, "read"),
    (OPERATOR, WR, "write"),
])
def test_roles(st, fake, fields, body, runs):
    st.set_users(USERS)
    assert st.start_daemon().ready
    service = fake(answering)
    answer = as_caller(fields, body)
    assert answer == {None: DENIED, "read": response_doc(le32(0, 2) + b"\x34\x12"), "write": response_doc(le32(0))}[runs]
    assert [entry_request(m)[2] for m in service.requests] == {None: [], "read": [None], "write": [b"\x34\x12"]}[runs]
    assert len(audit(st)) == (runs != "read")


SIGNIN = "audit: signin user=otto role=operator uid=33 client=-"


def signed_in(st): return sign_in("otto", "op%20pass")


def ran_out(st): return (cookie := signed_in(st), time.sleep(3.5))[0]  # the tests' daemon: 3 s idle


def signed_out(st):
    cookie = signed_in(st)
    assert parse(exchange(post("/kxr-signout", b"", fields=cookie), uid=WWW))[0] == 200
    return cookie


def removed(st):
    cookie = signed_in(st)
    st.set_users({k: v for k, v in USERS.items() if k != "otto"})
    time.sleep(1.1)  # the daemon looks at its files once a second at most
    return cookie


@pytest.mark.parametrize("uid, fields, served, lines", [
    (0, lambda st: "", True, [f"audit: write user=- role=operator by=uid uid=0 client=- {WROTE}"]),
    (0, lambda st: "X-Kxr-Client: 192.0.2.7\r\n", False, []),     # through the front server: a root worker signs in
    (WWW, lambda st: "X-Kxr-User: otto\r\nX-Kxr-Role: operator\r\n", False, []),
    (WWW, signed_in, True, [SIGNIN, f"audit: write user=otto role=operator by=session uid=33 client=- {WROTE}"]),
    (WWW, lambda st: OPERATOR + "X-Kxr-Client: 192.0.2.7\r\n", True,
     [f"audit: write user=otto role=operator by=basic uid=33 client=192.0.2.7 {WROTE}"]),
    (WWW, lambda st: basic("otto", "op pas"), False, ["audit: basic refused user=otto uid=33 client=-"]),
    (WWW, lambda st: basic("Ann Lee\u00e9", "op pass"), False, ["audit: basic refused user=Ann\\x20Lee\\xC3\\xA9 uid=33 client=-"]),
    (WWW, lambda st: basic("nora", "no role"), False, ["audit: basic refused user=nora uid=33 client=-"]),
    (WWW, ran_out, False, [SIGNIN, "audit: session ended user=otto role=operator reason=idle"]),
    (WWW, signed_out, False, [SIGNIN, "audit: signout user=otto role=operator uid=33 client=-"]),
    (WWW, removed, False, [SIGNIN, "audit: session ended user=otto role=operator reason=user-changed"]),
])
def test_callers(st, fake, uid, fields, served, lines):
    st.set_users(USERS)
    assert st.start_daemon(short=True).ready
    service = fake(answering)
    answer = as_caller(fields(st), WR, uid)
    assert answer == (response_doc(le32(0)) if served else 401)
    assert [entry_request(m)[2] for m in service.requests] == ([b"\x34\x12"] if served else [])
    assert audit(st) == lines


BATCH = call(WRITE, 13, 52, b"".join(hdr(0x2000, i, 2) for i in range(13)) + bytes(26))
WHO = "user=- role=operator by=uid uid=0 client=- group=0xF081 entries=13"
DONE = ", ".join(f"0x2000:{i:02X} 2 bytes 0x{0xECA60304 if i == 1 else 0:08X}" for i in range(13))


@pytest.mark.parametrize("fields, body, lines", [
    ("", BATCH, [f"audit: write {WHO} part=1/2: {DONE[:DONE.index(', 0x2000:0C')]}",  # in parts of 12
                 f"audit: write {WHO} part=2/2: 0x2000:0C 2 bytes 0x00000000"]),
    ("", call(WRITE, 2, 8, WORD), ["audit: write user=- role=operator by=uid uid=0 client=- group=0xF081 entries=2 fault=0xA03D0102"]),
    (VIEWER + "X-Kxr-Client: 192.0.2.7\r\n", WR,
     ["audit: refused user=vera role=viewer by=basic uid=0 client=192.0.2.7 group=0xF081 entries=1"]),
    (VIEWER + "X-Kxr-Client: \"a b\"\r\n", b"<u:ReadWrite>",
     ["audit: refused user=vera role=viewer by=basic uid=0 client=\\x22a\\x20b\\x22 group=? entries=?"]),
])
def test_audit_lines(st, fake, fields, body, lines):
    st.set_users(USERS)
    assert st.start_daemon().ready
    fake(answering)
    as_caller(fields, body, uid=0)
    assert audit(st) == lines
