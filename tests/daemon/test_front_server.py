# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The site of contrib/nginx in real nginx in front of the daemon and the
# simulator: pages, faults and the body limit go through unchanged; kxr-cli
# writes on the daemon's socket and reads back through nginx; clients stalled
# at nginx do not reach the daemon; other sites' pages cannot write through it.
import os, socket, subprocess
import pytest
from conftest import EP, NOT_FOUND, READ, WRITE, S, call, exchange, fault_doc, get, hdr, le32, parse, read_all, result

PAGE = b"<!DOCTYPE html><title>pages</title><p>device pages</p>\n"


@pytest.fixture
def front(st):
    if not os.access("/usr/sbin/nginx", os.X_OK):
        pytest.skip("nginx is not installed")
    st.put("index.htm", PAGE)
    st.start_sim()
    assert st.start_daemon().ready
    return st.start_nginx()


def fetch(port, target, body=None, fields="Content-Type: text/xml\r\n"):
    """(status, fields, body) of one request through nginx."""
    head = f"{'POST' if body is not None else 'GET'} {target} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
    if body is not None:
        head += f"{fields}Content-Length: {len(body)}\r\n"
    with socket.create_connection(("127.0.0.1", port), 10) as s:
        s.sendall(head.encode() + b"\r\n" + (body or b""))
        return parse(read_all(s))


def test_pages_calls_and_limits(front):
    for target, status, body in [("/", 200, PAGE), ("/config/", 200, PAGE), ("/index.htm?v=2", 200, PAGE),
                                 ("/missing.htm", 404, NOT_FOUND)]:
        got = fetch(front, target)
        assert (got[0], got[2], got[1]["cache-control"]) == (status, body, "no-store"), target
    assert fetch(front, EP, call(READ, 0, 12, b""))[2] == fault_doc(-1606614780, "Invalid argument")
    assert fetch(front, EP, b"x" * (1 << 20))[0] == 200  # exactly 1 MiB reaches the daemon
    assert fetch(front, EP, b"x" * ((1 << 20) + 1))[0] == 413


# A write of EF BE to 0x2000:01 as another site's page can send it (a plain form, a fetch without asking first).
@pytest.mark.parametrize("fields, status", [
    ("Content-Type: text/plain\r\n", 403), ("Content-Type: text/plain;charset=UTF-8\r\nOrigin: http://a.test\r\n", 403),
    ("Content-Type: application/x-www-form-urlencoded\r\n", 403), ("", 403),
    ("Content-Type: text/xml; charset=utf-8\r\nOrigin: http://127.0.0.1:1\r\n", 403),
    ("Content-Type: text/xml\r\nOrigin: http://localhost\r\n", 200), ("Content-Type: TEXT/XML ; x=y\r\n", 200)])
def test_only_text_xml_from_the_site_itself_reaches_the_service(front, fields, status):
    assert fetch(front, EP + "?x", call(WRITE, 1, 4, hdr(0x2000, 1, 2) + b"\xef\xbe"), fields)[0] == status
    assert result(call(READ, 1, 10, hdr(0x2000, 1, 2))) == le32(0, 2) + (b"\xef\xbe" if status == 200 else bytes(2))


def cli(*args):
    r = subprocess.run([S["cli"], *args], capture_output=True, text=True, timeout=30)
    return r.returncode, r.stdout, r.stderr


def test_cli_writes_and_reads_back_through_nginx(front):
    url = f"http://127.0.0.1:{front}/"
    assert cli("-u", url, "read", "0x1018:1", "0x1008:0", "0x7777:1")[:2] == (1, (
        '0x1018:0x01  0x00000000 Success  4 bytes: 78 56 34 12  "xV4."\n'
        '0x1008:0x00  0x00000000 Success  8 bytes: 4b 58 52 2d 53 49 4d 00  "KXR-SIM."\n'
        "0x7777:0x01  0xECA60301 No such object or sub-index\n"))
    assert cli("write", "0x2000:1=u16:0x1234", "0x2000:3=hex:07")[:2] == (
        0, "0x2000:0x01  0x00000000 Success\n0x2000:0x03  0x00000000 Success\n")
    assert cli("-u", url, "read", "8192:1", "8192:3")[:2] == (0, (
        '0x2000:0x01  0x00000000 Success  2 bytes: 34 12  "4."\n0x2000:0x03  0x00000000 Success  1 byte: 07  "."\n'))
    assert cli("write", "0x1018:1=u32:0")[:2] == (1, "0x1018:0x01  0xECA60303 Entry is read-only\n")


def test_cli_without_daemon_and_without_service(st):
    code, out, err = cli("read", "0x1018:1")
    assert code == 3 and "cannot connect to " + S["socket"] in err, err
    assert st.start_daemon().ready
    code, out, err = cli("read", "0x1018:1")
    assert (code, out) == (1, "") and "fault 0xECA60201 (-324664831): Unknown error" in err, err


def test_clients_stalled_in_their_headers_hold_no_worker(st, front):
    """nginx passes on whole requests only: 200 clients stopped in the middle of
    their headers leave the daemon's 100 workers free."""
    daemon = next(p.pid for p in st.procs if p.name == "daemon")
    stalled = [socket.create_connection(("127.0.0.1", front), 10) for _ in range(200)]
    try:
        for s in stalled:
            s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Half: ")
        assert fetch(front, "/")[::2] == (200, PAGE)
        assert parse(exchange(get("/")))[::2] == (200, PAGE)
        assert len(os.listdir(f"/proc/{daemon}/fd")) < 20  # none of the 200 reached it
    finally:
        for s in stalled:
            s.close()
