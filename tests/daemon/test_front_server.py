# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The site of contrib/nginx in real nginx in front of the verbose daemon and the simulator: pages, faults and the
# body limit go through unchanged over HTTPS, with the daemon's sign-in; nothing reaches the daemon over plain HTTP,
# with a foreign Host, or from another site's Origin or type; nginx passes the credentials on and names only the
# client; every answer carries the guarding headers; a fast client and a fast sign-in are throttled; fail2ban's
# filter sees each refused sign-in and nothing else.
import base64, os, re, socket, ssl, subprocess, urllib.parse
import pytest
from conftest import EP, NOT_FOUND, READ, WRITE, S, call, exchange, fault_doc, get, hdr, kxr, parse, read_all, result

PAGE = b"<!DOCTYPE html><title>pages</title><p>device pages</p>\n"
HERE = os.path.dirname(os.path.abspath(__file__))
GUARDS = {"strict-transport-security": "max-age=63072000", "x-content-type-options": "nosniff",
          "referrer-policy": "no-referrer", "server": "nginx"}  # no version
FORM = "Content-Type: application/x-www-form-urlencoded\r\n"


@pytest.fixture
def front(st):
    if not os.access("/usr/sbin/nginx", os.X_OK):
        pytest.skip("nginx is not installed")
    st.put("index.htm", PAGE)
    st.start_sim()
    st.start_nginx()  # first: it writes the users, which the daemon reads at its start
    assert st.start_daemon(("-nofork", "-v")).ready
    return st


def fetch(st, target, body=None, fields="Content-Type: text/xml\r\n", user="operator", password=None,
          host="localhost", tls=True):
    """(status, fields, body) of one request through nginx, with Basic for user (None: no Authorization)."""
    head = f"{'POST' if body is not None else 'GET'} {target} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n{fields}"
    if user:
        secret = base64.b64encode(f"{user}:{st.users.get(user, '') if password is None else password}".encode())
        head += f"Authorization: Basic {secret.decode()}\r\n"
    if body is not None:
        head += f"Content-Length: {len(body)}\r\n"
    with socket.create_connection(("127.0.0.1", st.nginx_port if tls else st.nginx_http_port), 10) as s:
        if tls:
            s = ssl.create_default_context(cafile=st.cacert).wrap_socket(s, server_hostname="localhost")
        s.sendall(head.encode() + b"\r\n" + (body or b""))
        answer = parse(read_all(s))
    assert answer and (not tls or {k: answer[1].get(k) for k in GUARDS} == GUARDS and
                       "frame-ancestors 'none'" in answer[1]["content-security-policy"]), answer
    return answer


def reached(st):
    """The targets that reached the daemon since the last call (it logs each one, verbose)."""
    lines = [r[4][8:] for r in st.syslog.lines() if r[4].startswith("target: ")][::3]
    st.syslog.clear()
    return lines


def write_2000(value): return call(WRITE, 1, 4, hdr(0x2000, 1, 2) + value)
def read_2000(): return result(call(READ, 1, 10, hdr(0x2000, 1, 2)))[8:]  # on the daemon's socket


def test_pages_calls_and_limits(front):
    for target, status, body in [("/", 200, PAGE), ("/config/", 200, PAGE), ("/index.htm?v=2", 200, PAGE),
                                 ("/missing.htm", 404, NOT_FOUND)]:
        got = fetch(front, target)
        assert (got[0], got[2], got[1]["cache-control"]) == (status, body, "no-store"), target
    assert fetch(front, EP, call(READ, 0, 12, b""))[2] == fault_doc(-1606614780, "Invalid argument")
    assert fetch(front, EP, b"x" * (1 << 20))[0] == 200  # exactly 1 MiB reaches the daemon
    assert fetch(front, EP, b"x" * ((1 << 20) + 1))[0] == 413


def signin(st, target="/kxr-signin", fields=FORM, user="operator", password=None):
    form = {"user": user, "password": st.users.get(user, "") if password is None else password}
    return fetch(st, target, urllib.parse.urlencode(form).encode(), fields, user=None)


# No write happens; over plain HTTP or for a foreign Host, not even a target reaches the daemon (wrong Basic: below).
@pytest.mark.parametrize("how, kw, statuses", [
    ("no sign-in", dict(user=None), (303, 401, 401)),
    ("plain HTTP", dict(tls=False), (301,) * 3),
    ("plain HTTP, a foreign Host", dict(tls=False, host="evil.example:8080"), (421,) * 3),
    ("DNS rebinding", dict(host="evil.example:8080", fields="Content-Type: text/xml\r\nOrigin: http://evil.example:8080\r\n"), (421,) * 3),
    ("a foreign Host", dict(host="evil.example"), (421,) * 3),
])
def test_refused(front, how, kw, statuses):
    for (target, body), status in zip([("/", None), ("/kxr-session.json", None), (EP, write_2000(b"\xef\xbe"))], statuses):
        got = fetch(front, target, body, **kw)
        assert got[0] == status and b"xV4" not in got[2] and b"operator" not in got[2], (how, target, got)
        want = {301: ("location", f"https://localhost:{front.nginx_port}{target}"), 303: ("location", "/signin.htm"),
                401: ("www-authenticate", 'Basic realm="KXRWebServer"')}.get(status)
        assert not want or got[1][want[0]] == want[1], got
    assert (statuses[0] == 303 or reached(front) == [], read_2000()) == (True, bytes(2)), how


def test_refused_sign_ins_are_what_the_jail_matches(front):
    """fail2ban-regex with the jail's filter on the daemon's audit lines: each refused sign-in and Basic pair, nothing
    else (sign-in, write, a viewer's refused call, sign-out, session end); each names the client as nginx saw it."""
    forged = FORM + "X-Kxr-Client: 10.0.0.1\r\nX-Kxr-User: operator\r\nX-Kxr-Role: operator\r\n"
    refused = [signin(front, password="wrong"), signin(front, "/config/kxr-signin", forged, "nobody", "x"),
               signin(front, user='a "b" \\ c', password="x"), fetch(front, "/", user="viewer", password="wrong"),
               fetch(front, EP, call(READ, 0, 12, b""), user="nobody ", password="x")]
    cookies = [signin(front, user=name)[1]["set-cookie"].split(";")[0] for name in ("operator", "viewer")]
    assert [r[0] for r in refused] == [403, 403, 403, 303, 401]
    fetch(front, EP, write_2000(b"\x01\x02"), f"Content-Type: text/xml\r\nCookie: {cookies[0]}\r\n", user=None)
    fetch(front, EP, write_2000(b"\x01\x02"), forged.replace(FORM, "Content-Type: text/xml\r\n"), user="viewer")
    fetch(front, "/kxr-signout", b"", f"Cookie: {cookies[0]}\r\n", user=None)
    open(S["roles_file"], "a").write("viewer operator;\n")  # another role: the viewer's session ends
    kxr.wait_until(lambda: fetch(front, "/kxr-session.json", user=None) and any("ended" in r[4] for r in front.syslog.lines()), 5, 0.25)
    lines = [r[4] for r in front.syslog.lines() if r[4].startswith("audit: ")]
    assert {re.match(r"audit: (\w+(?: refused| ended)?)", line)[1] for line in lines} == \
        {"signin", "signin refused", "basic refused", "write", "refused", "signout", "session ended"}, lines
    assert {re.sub(r".* client=(\S+).*", r"\1", line) for line in lines if "client=" in line} == {"127.0.0.1"}, lines
    log = "\n".join(f"2026-12-07 18:00:00 localhost KXRWebServer[7]: {line}" for line in lines)  # lines, not a file
    run = subprocess.run(["fail2ban-regex", log, f"{HERE}/../../contrib/fail2ban/filter.d/kxrwebserver.conf"], capture_output=True, text=True)
    assert re.search(r"^Lines: (\d+) lines, 0 ignored, (\d+) matched", run.stdout, re.M).groups() == \
        (str(len(lines)), str(len(refused))), run.stdout + "\n".join(lines)


# A write of EF BE to 0x2000:01 as another site's page can send it (a plain form, a fetch without asking first).
@pytest.mark.parametrize("fields, status", [
    ("Content-Type: text/plain\r\n", 403), ("Content-Type: text/plain;charset=UTF-8\r\nOrigin: http://a.test\r\n", 403),
    ("Content-Type: application/x-www-form-urlencoded\r\n", 403), ("", 403),
    ("Content-Type: text/xml; charset=utf-8\r\nOrigin: https://evil.example:{port}\r\n", 403),
    ("Content-Type: text/xml\r\nOrigin: http://localhost:{port}\r\n", 403),
    ("Content-Type: text/xml\r\nOrigin: https://localhost:1\r\n", 403),
    ("Content-Type: text/xml\r\nOrigin: https://localhost\r\n", 403),
    ("Content-Type: text/xml\r\nOrigin: null\r\n", 403),
    ("Content-Type: text/xml\r\nOrigin: https://127.0.0.1:{port}\r\n", 200),
    ("Content-Type: text/xml\r\nOrigin: https://localhost:{port}\r\n", 200), ("Content-Type: TEXT/XML ; x=y\r\n", 200)])
def test_only_text_xml_from_the_site_itself_reaches_the_service(front, fields, status):
    fields = fields.format(port=front.nginx_port)
    assert fetch(front, EP + "?x", write_2000(b"\xef\xbe"), fields)[0] == status
    assert read_2000() == (b"\xef\xbe" if status == 200 else bytes(2))


# A sign-in or sign-out as another site's page can send it: only from the site itself (or with no Origin at all).
@pytest.mark.parametrize("target, origin, status", [
    ("/kxr-signin", "https://evil.example:{port}", 403), ("/config/kxr-signin", "null", 403),
    ("/kxr-signout", "http://localhost:{port}", 403), ("/config/kxr-signout", "https://localhost:1", 403),
    ("/kxr-signin", "https://localhost:{port}", 200), ("/config/kxr-signin", None, 200),
    ("/config/kxr-signout", "https://127.0.0.1:{port}", 200)])
def test_sign_in_and_out_only_from_the_site_itself(front, target, origin, status):
    got = signin(front, target, FORM + (f"Origin: {origin}\r\n".format(port=front.nginx_port) if origin else ""))
    assert (got[0], "set-cookie" in got[1]) == (status, status == 200), got


def test_a_fast_client_is_throttled_while_a_page_load_and_a_restore_pass(front):
    page_load = ["/", "/kxr-session.json", "/kxr.js", "/kxr-client.js", "/kxr.css", "/dictionary.json"]
    assert {fetch(front, t)[0] for t in page_load} == {200, 404}  # only index.htm is in this document root
    restore = [call(READ, 1, 10, hdr(0x2000, 1, 2))] * 6 + [write_2000(b"\x01\x02")] * 3
    assert {fetch(front, EP, body)[0] for body in restore} == {200}
    assert [signin(front)[0] for _ in range(8)] == [200] * 6 + [429] * 2  # then one every 10 s
    assert [fetch(front, "/kxr-session.json")[0] for _ in range(60)].count(429) >= 10


def test_cli_without_daemon_and_without_service(st):
    cli = lambda: subprocess.run([S["cli"], "read", "0x1018:1"], capture_output=True, text=True, timeout=30)  # noqa: E731
    assert (r := cli()).returncode == 3 and "cannot connect to " + S["socket"] in r.stderr, r.stderr
    assert st.start_daemon().ready
    assert ((r := cli()).returncode, r.stdout) == (1, "") and "fault 0xECA60201 (-324664831): Unknown error" in r.stderr, r.stderr


def test_clients_stalled_in_their_headers_hold_no_worker(st, front):
    """nginx passes on whole requests only: 200 clients stopped inside their headers leave the 100 workers free."""
    daemon = next(p.pid for p in st.procs if p.name == "daemon")
    tls = ssl.create_default_context(cafile=front.cacert)
    stalled = [tls.wrap_socket(socket.create_connection(("127.0.0.1", front.nginx_port), 10), server_hostname="localhost")
               for _ in range(200)]
    try:
        [s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Half: ") for s in stalled]
        assert fetch(front, "/")[::2] == (200, PAGE)
        assert parse(exchange(get("/")))[::2] == (200, PAGE)
        assert len(os.listdir(f"/proc/{daemon}/fd")) < 20  # none of the 200 reached it
    finally:
        [s.close() for s in stalled]
