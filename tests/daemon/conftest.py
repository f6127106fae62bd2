# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# Driver of the daemon tests: the real daemon in a private mount namespace
# (tools/stack.py), raw HTTP/1.1 on its socket, its syslog lines, and a fake
# device-profile service. KXR_BUILD names the build tree.
import base64, functools, grp, os, re, socket, struct, subprocess, sys, threading
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import stack as kxr  # noqa: E402

EP = "/KxrWebService/KxrWebService.dll"
READ, WRITE = 61568, 61569
SHORT, REFUSED, NO_SERVICE, TIMED_OUT = 0xECA60FFF, 0xECA60200, 0xECA60201, 0xECA7006E
PAGE = b"<html>\n<head><title>LB/BSD KXR Webserver</title></head>\n<body>\nLB/BSD KXR Webserver\n</body>\n</html>\n"
NOT_FOUND = b"File not found\r\n"
S = kxr.load(os.environ["KXR_BUILD"]) if "KXR_BUILD" in os.environ else {}  # the build's paths and settings


def pytest_configure(config): config.addinivalue_line("markers", "slow: takes ten seconds or more")


@pytest.fixture(scope="session")
def _stack():
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace")
    (st := kxr.Stack(S)).enter()
    yield st
    st.close()


@pytest.fixture
def st(_stack):  # a clean private stack: empty /run and document root, the group present, no syslog lines
    _stack.reset()
    yield _stack
    _stack.stop_all()


@pytest.fixture
def daemon(st):
    assert (start := st.start_daemon()).ready, start.output()
    return start


def connect(path=None, uid=None):  # uid: the peer the daemon sees, in the socket's group (root by default)
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    if uid is not None:
        os.setegid(grp.getgrnam(S["group"]).gr_gid), os.seteuid(uid)
    try:
        s.connect(path or S["socket"])
    finally:
        uid is None or (os.seteuid(0), os.setegid(0))
    return s


def read_all(s, seconds=10.0):  # everything until the peer closes; TimeoutError if it does not
    s.settimeout(seconds)
    out = b""
    try:
        while chunk := s.recv(1 << 16):
            out += chunk
    except ConnectionResetError:
        pass  # closed with our request unread
    return out


def exchange(request, seconds=10.0, path=None, shut=False, uid=None):
    with connect(path, uid) as s:
        try:
            s.sendall(request)
            if shut:
                s.shutdown(socket.SHUT_WR)  # nothing more comes
        except (BrokenPipeError, ConnectionResetError):
            pass  # a refused request: its answer may still be there
        return read_all(s, seconds)


def get(target, method="GET"): return f"{method} {target} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode()


def post(target, body, content_type="text/xml", fields=""):
    return (f"POST {target} HTTP/1.1\r\nHost: localhost\r\n{fields}Content-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


WWW = 33  # a peer that is not root, as the front server's workers are


def sign_in(user, password, uid=WWW):  # the session cookie's field, or the refusal's status
    form = f"user={user}&password={password}".encode()
    answer = parse(exchange(post("/kxr-signin", form, "application/x-www-form-urlencoded"), uid=uid))
    m = re.match(r"(__Host-kxr-session=[0-9a-f]{64});", answer[1].get("set-cookie", "")) if answer[0] == 200 else None
    return f"Cookie: {m[1]}\r\n" if m else answer[0]


def basic(user, password): return f"Authorization: Basic {base64.b64encode(f'{user}:{password}'.encode()).decode()}\r\n"


def plain(status, body):  # a plain-text answer exactly as the daemon writes it
    return (f"HTTP/1.1 {status}\r\nConnection: close\r\nServer: Beast\r\nContent-Type: text/plain\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


def parse(raw):  # (status, {field: value}, body) of exactly one answer; None when raw is not that
    head, sep, body = raw.partition(b"\r\n\r\n")
    m = re.match(rb"HTTP/1\.1 (\d{3}) [^\r]*", head)
    if not sep or not m:
        return None
    fields = dict(line.split(b": ", 1) for line in head.split(b"\r\n")[1:])
    fields = {k.decode().lower(): v.decode() for k, v in fields.items()}
    if "content-length" in fields and int(fields["content-length"]) != len(body):
        return None
    return int(m[1]), fields, body


def le32(*words): return struct.pack(f"<{len(words)}I", *words)
def hdr(index, sub, length, flags=0): return struct.pack("<IBBHI", 0, sub, flags, index, length)  # a sub-request's


@functools.cache
def _call_of_kxr_cli(): return subprocess.run([S["cli"], "--print-call", "read", "0:0:1"], capture_output=True, text=True,
                                              check=True).stdout


def call(group, count, cb, buf, b64=None):  # kxr-cli's call with these values, however wrong they are
    b64 = base64.b64encode(buf).decode() if b64 is None else b64
    doc = _call_of_kxr_cli()
    for name, value in (("indexGroup", group), ("indexOffset", count), ("cbRdLen", cb), ("pwrData", b64)):
        doc = re.sub(f"<{name}>[^<]*</{name}>", lambda _, n=name, v=value: f"<{n}>{v}</{n}>", doc, count=1)
    return doc.encode()


ENV = ('<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"'
       ' SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Body>')
STR = ' xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="string">'


def response_doc(result): return (ENV + '<m:ReadWriteResponse xmlns:m="urn:KxrWebService"><ppRdData' + STR +
            base64.b64encode(result).decode() + "</ppRdData></m:ReadWriteResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>").encode()


def fault_doc(code, text): return (ENV + "<SOAP-ENV:Fault><faultcode" + STR + str(code) + "</faultcode><faultstring" + STR + text +
            "</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>").encode()


def soap(body, seconds=30.0, path=None):  # the answer document of a call; its status and type checked
    answer = parse(exchange(post(EP, body), seconds, path))
    assert answer and answer[0] == 200 and answer[1]["content-type"] == "text/xml", answer
    return answer[2]


def result(body, seconds=30.0):  # the decoded result of a call that must succeed
    m = re.search(rb'<ppRdData[^>]*>([^<]*)</ppRdData>', doc := soap(body, seconds))
    assert m and doc == response_doc(base64.b64decode(m[1])), doc
    return base64.b64decode(m[1])


def entry_answer(status, data=b"", index=0, sub=0, flags=0):
    return struct.pack("<IHHBBQI", 18 + len(data), 0, index, flags, sub, status, len(data)) + data


def entry_request(msg):  # (index, sub, write data or None) of an entry access: its record after the 24-byte head
    out, index, _, sub = struct.unpack_from("<Q2xHBB", msg, 16)
    return index, sub, msg[24 + 18:out] if out > 24 else None


class FakeService:  # answers each request (one a connection) with handler(request, number): bytes, or None: closed

    def __init__(self, path, handler):
        self.path, self.handler, self.requests, self.sock = path, handler, [], dead_socket(path)
        self.sock.listen(16)
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return  # closed
            with conn:
                conn.settimeout(15)
                try:
                    msg = conn.recv(8, socket.MSG_WAITALL)
                    total = struct.unpack("<Q", msg)[0] if len(msg) == 8 else 0
                    while len(msg) < total and (chunk := conn.recv(total - len(msg))):
                        msg += chunk
                    self.requests.append(msg)
                    if answer := self.handler(msg, len(self.requests)):
                        conn.sendall(answer)
                except OSError:
                    pass

    def close(self):  # gone: nobody listens and the socket file is removed
        if self.sock.fileno() >= 0:
            self.sock.shutdown(socket.SHUT_RDWR)
            self.sock.close()
            os.unlink(self.path)


@pytest.fixture
def fake(st):
    made = []
    yield lambda handler: made.append(FakeService(st.s["service_socket"], handler)) or made[-1]
    for f in made:
        f.close()


def dead_socket(path):  # a socket bound to path (a stale file replaced), nobody listening behind it
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.path.exists(path) and os.unlink(path)
    (s := socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)).bind(path)
    return s
