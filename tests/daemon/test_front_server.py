# The site of contrib/nginx in real nginx in front of the daemon and the
# simulator: pages, faults and the body limit go through unchanged, and a
# read, write and read back end to end.
import base64, re, socket
import pytest
from conftest import EP, NOT_FOUND, READ, WRITE, call, fault_doc, hdr, le32, parse

PAGE = b"<!DOCTYPE html><title>pages</title><p>device pages</p>\n"


@pytest.fixture
def front(st):
    if not st.s or not __import__("os").access("/usr/sbin/nginx", 1):
        pytest.skip("nginx is not installed")
    st.put("index.htm", PAGE)
    st.start_sim()
    assert st.start_daemon().ready
    return st.start_nginx()


def fetch(port, target, body=None):
    head = f"{'POST' if body is not None else 'GET'} {target} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
    if body is not None:
        head += f"Content-Type: text/xml\r\nContent-Length: {len(body)}\r\n"
    with socket.create_connection(("127.0.0.1", port), 10) as s:
        s.sendall(head.encode() + b"\r\n" + (body or b""))
        raw = b""
        while chunk := s.recv(1 << 16):
            raw += chunk
    if b"Transfer-Encoding: chunked" in raw.partition(b"\r\n\r\n")[0]:
        pytest.fail("chunked answer")
    status, fields, body = parse(raw)
    return status, fields, body


def test_pages_calls_and_limits(front):
    for target, status, body in [("/", 200, PAGE), ("/config/", 200, PAGE), ("/index.htm?v=2", 200, PAGE),
                                 ("/missing.htm", 404, NOT_FOUND)]:
        got = fetch(front, target)
        assert (got[0], got[2], got[1]["cache-control"]) == (status, body, "no-store"), target
    def data(body):
        status, fields, doc = fetch(front, EP, body)
        assert (status, fields["content-type"]) == (200, "text/xml")
        return base64.b64decode(re.search(rb"<ppRdData[^>]*>([^<]*)<", doc)[1])
    assert data(call(READ, 2, 100, hdr(0x1018, 1, 4) + hdr(0x1008, 0, 8))) == le32(0, 4, 0, 8) + b"\x78\x56\x34\x12KXR-SIM\0"
    assert data(call(WRITE, 2, 8, hdr(0x2000, 1, 2) + hdr(0x1018, 1, 4) + b"\x34\x12abcd")) == le32(0, 0xECA60303)
    assert data(call(READ, 1, 10, hdr(0x2000, 1, 2))) == le32(0, 2) + b"\x34\x12"
    assert fetch(front, EP, call(READ, 0, 12, b""))[2] == fault_doc(-1606614780, "Invalid argument")
    assert fetch(front, EP, b"x" * (1 << 20))[0] == 200  # exactly 1 MiB reaches the daemon
    assert fetch(front, EP, b"x" * ((1 << 20) + 1))[0] == 413
