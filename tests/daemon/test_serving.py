# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# What the daemon answers on the wire: routing, files, the request limits and hostile clients; the 60-second
# deadline with a full pool and with calls holding the thread (slow).
import os, socket, subprocess, time
import pytest
from conftest import EP, PAGE, NOT_FOUND, READ, S, call, connect, entry_answer, exchange, get, hdr, parse, plain, post, read_all, kxr

INDEX = b"<html><body>index</body></html>\n"
BIG = bytes(i * 7 % 251 for i in range(300000))
# Every row of the content-type table.
TYPES = {".htm": "text/html", ".html": "text/html", ".php": "text/html", ".css": "text/css", ".txt": "text/plain",
         ".js": "application/javascript", ".json": "application/json", ".xml": "application/xml",
         ".swf": "application/x-shockwave-flash", ".flv": "video/x-flv", ".png": "image/png", ".jpe": "image/jpeg",
         ".jpeg": "image/jpeg", ".jpg": "image/jpeg", ".gif": "image/gif", ".bmp": "image/bmp",
         ".ico": "image/vnd.microsoft.icon", ".tiff": "image/tiff", ".tif": "image/tiff", ".svg": "image/svg+xml",
         ".svgz": "image/svg+xml"}
FILES = {"index.htm": INDEX, "a.htm?x": b"a with query", "a/..b": b"dots", "sub/inner.htm": b"inner",
         "LOGO.PNG": b"png", "css/Site.Css": b"css", "readme": b"text", "archive.tar.gz": b"gz", "big.bin": BIG,
         **{"types/t" + ext: ext.encode() for ext in TYPES}}


@pytest.fixture(params=["root", "root through a link"])
def served(request, st):
    if request.param != "root":  # as versioned pages are installed: norvik -> norvik-1.0, in a private tmpfs
        parent, name = os.path.split(st.s["docroot"])
        kxr.mount("tmpfs", parent, "tmpfs", 0, "mode=0755")
        request.addfinalizer(lambda: st.stop_all() or kxr.umount(parent))  # the daemon holds the root open
        os.mkdir(f"{parent}/{name}-1.0")
        os.symlink(name + "-1.0", st.s["docroot"])
    assert (daemon := st.start_daemon()).ready, daemon.output()
    for name, content in FILES.items():
        st.put(name, content)
    os.mkfifo((root := st.s["docroot"]) + "/pipe")  # opening it for reading would stall the only thread
    open("/run/outside.htm", "w").write("outside")  # the private /run, outside the document root
    for name, target in {"to-root": "/", "out.htm": "/run/outside.htm", "up.htm": "../" * 12 + "run/outside.htm",
                         "etc": "/etc", "in.htm": "index.htm", "in-abs.htm": root + "/index.htm",
                         "sub/up.htm": "../index.htm", "subdir": "sub"}.items():
        os.symlink(target, f"{root}/{name}")
    return daemon


ok = lambda ctype, body: (200, ctype, body)  # noqa: E731
NF = plain("404 Not Found", NOT_FOUND)
TOO_LARGE = plain("413 Payload Too Large", b"Request payload too large!\r\n")
CLOSED = b""  # closed without an answer
FIELDS = b"GET / HTTP/1.1\r\n" + b"".join(b"F%d: v\r\n" % i for i in range(600)) + b"\r\n"
LINE = b"GET /" + b"a" * 4079 + b" HTTP/1.1\r\n"

# request -> (status, type, body) of a 200 answer, or the whole answer byte for byte
CASES = [(get(t), ok("text/html", INDEX)) for t in ("/", "/config", "/config/", "/config/index.htm", "/index.htm?v=2",
                                                   "/in.htm", "/in-abs.htm", "/sub/up.htm")] + [
    # Links are followed while they stay inside the document root (in*.htm, sub/up.htm above, subdir, not to-root...).
    (get(t), NF) for t in ("/configx.htm", "/?x", "/config?x", "/a.htm?..", "/../etc/passwd", "/config/../index.htm",
                           "/%2e%2e/%2e%2e/etc/passwd", "/a/..b", "/missing.htm", "/sub", "/sub/", "/config/sub", "/pipe",
                           "/kxrwebservice/kxrwebservice.dll", "/" + "a" * 7000, "/to-root/etc/passwd",
                           "/to-root/run/outside.htm", "/out.htm", "/up.htm", "/etc/passwd")] + [
    (post("/index.htm", b"ignored"), ok("text/html", INDEX)), (get("/a.htm?x?y"), ok("application/text", b"a with query")),
    (get("/LOGO.PNG"), ok("image/png", b"png")), (get("/css/Site.Css"), ok("text/css", b"css")),
    (get("/readme"), ok("application/text", b"text")), (get("/archive.tar.gz"), ok("application/text", b"gz")),
    (get("/big.bin"), ok("application/text", BIG)), (get("/subdir/inner.htm"), ok("text/html", b"inner")),
    *[(get("/types/t" + ext), ok(ctype, ext.encode())) for ext, ctype in TYPES.items()],
    *[(get("/", m), plain("400 Bad Request", b"Invalid request-method '%s'\r\n" % m.encode())) for m in ("HEAD", "PUT", "M" * 100)],
    (get("/config" + EP), ok("text/html", PAGE)), (post("/any/prefix" + EP + "?x", b""), ok("text/html", PAGE)),
    (get("/index.htm") + get("/../x"), ok("text/html", INDEX)),  # one request per connection
    # The limits: 8 KiB of header, 1 MiB of body.
    (b"GET / HTTP/1.1\r\nX: " + b"h" * 7000 + b"\r\n\r\n", ok("text/html", INDEX)),
    (b"GET / HTTP/1.1\r\nX: " + b"h" * 9000 + b"\r\n\r\n", CLOSED),
    (get("/" + "a" * 9000), CLOSED),
    (b"M" * 8192 + b" / HTTP/1.1\r\n\r\n", CLOSED),
    # The request line counts: 8192 bytes of header in all are served, 8193 are not.
    (b"GET /" + b"a" * 4079 + b" HTTP/1.1\r\nX: " + b"h" * 4090 + b"\r\n\r\n", NF),
    (b"GET /" + b"a" * 4079 + b" HTTP/1.1\r\nX: " + b"h" * 4091 + b"\r\n\r\n", CLOSED),
    (b"POST /" + b"a" * 5000 + b" HTTP/1.1\r\nContent-Length: 1048577\r\nX: " + b"h" * 4000 + b"\r\n\r\n", CLOSED),
    (post("/index.htm", b"b" * 1048576), ok("text/html", INDEX)),
    (post("/index.htm", b"b" * 1048577), TOO_LARGE),
    (b"POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n" + b"b" * 1000, TOO_LARGE),  # refused from the header
    (b"GET /a\x01\x7fb HTTP/1.1\r\n\r\n", CLOSED),
    (b"GET /index.htm\0x HTTP/1.1\r\n\r\n", CLOSED),
    (FIELDS, ok("text/html", INDEX)),  # several hundred short fields overflow the header arena, not the limit
    # Arriving in pieces: read as it comes; the header limit holds for the request line and the fields together.
    ((LINE, b"X: " + b"h" * 4090, b"\r\n\r\n"), NF), ((LINE, b"X: " + b"h" * 4091, b"\r\n\r\n"), CLOSED),
    ((b"POST / HTTP/1.1\r\nContent-Length: 1048577\r\n", b"\r\n"), TOO_LARGE),
]


def test_answers(st, served):
    for request, want in CASES:
        if isinstance(request, tuple):
            with connect() as s:
                [time.sleep(0.05) or s.sendall(piece) for piece in request]
                raw = read_all(s)
        else:
            raw = exchange(request)
        if isinstance(want, bytes):
            assert raw == want, (str(request)[:80], raw[:300])
        else:
            status, fields, body = parse(raw)
            assert (status, fields["content-type"], body) == want, str(request)[:80]
            assert list(fields) == ["connection", "server", "content-type", "content-length"]
        assert served.proc.poll() is None, served.output()
    assert exchange(post(EP, b"<x/>")).find(b"<SOAP-ENV:Fault>") > 0  # a body goes to the web service


def cpu_seconds(pid):
    f = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK")


def test_out_of_descriptors_pauses_accepting(st, daemon):
    st.put("index.htm", INDEX)
    pid = daemon.serving
    exchange(get("/"))  # one answer first: a sanitizer build's first type check needs a pipe of its own
    subprocess.run(["prlimit", "--pid", str(pid), "--nofile=40:40"], check=True)
    held = [connect() for _ in range(60)]  # more than the descriptors left
    time.sleep(0.5)
    start = cpu_seconds(pid)
    time.sleep(2)
    assert cpu_seconds(pid) - start < 0.2  # no spinning on the failing accept
    for i, s in enumerate(held):  # the first descriptors freed one by one: still one line
        s.close()
        time.sleep(0.3 if i < 5 else 0)
    assert parse(exchange(get("/")))[2] == INDEX
    lines = [(r[0], r[4]) for r in st.syslog.lines() if r[4].startswith("Accept")]
    assert lines == [(3, "Accept failed: Too many open files")]  # LOG_ERR


def test_too_large_is_logged_in_verbose_mode(st):
    assert st.start_daemon(["-nofork", "-v"]).ready
    assert exchange(post("/", b"b" * 1048577)) == TOO_LARGE
    assert st.syslog.wait_for("Request payload too large!", 2)


def test_client_leaving_during_a_large_file(st, daemon):
    st.put("index.htm", INDEX), st.put("huge.bin", b"z" * (32 << 20))
    for _ in range(3):
        with connect() as s:
            s.sendall(get("/huge.bin"))
            s.recv(100)
        # leaves with most of the 32 MiB unwritten; the worker goes on
        assert parse(exchange(get("/")))[2] == INDEX


def test_clients_leaving_during_a_large_body_leave_no_memory_behind(st):
    pid = st.start_daemon(env={"ASAN_OPTIONS": "quarantine_size_mb=0"}).serving  # a sanitizer build frees at once
    rss = lambda: next(int(l.split()[1]) for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS"))
    before, held = rss(), [connect() for _ in range(30)]
    for s in held:  # 30 workers each hold most of a 1 MB body, then their clients leave
        s.sendall(post(EP, b"x" * 1000000)[:-10])
    time.sleep(0.5)
    [s.close() for s in held]
    # KiB; the select reactor of the portable build may answer the next request before it sees every close
    assert exchange(get("/")) and kxr.wait_until(lambda: rss() - before < 8000, 2)


def test_out_of_memory_in_a_read_ends_only_the_connections_it_hits(st, daemon):
    if b"__asan_init" in open(S["daemon"], "rb").read():
        pytest.skip("a sanitizer build maps terabytes of shadow memory: no address-space limit leaves it room to run")
    st.put("index.htm", INDEX)
    pid = daemon.serving
    assert parse(exchange(get("/")))[2] == INDEX
    size = next(int(l.split()[1]) for l in open(f"/proc/{pid}/status") if l.startswith("VmSize")) << 10
    subprocess.run(["prlimit", "--pid", str(pid), f"--as={size + (24 << 20)}"], check=True)
    held = [connect() for _ in range(60)]
    for s in held:  # each worker reserves the whole 1 MiB body at its first byte: about 20 fit
        s.sendall(b"POST /index.htm HTTP/1.1\r\nContent-Length: 1048576\r\n\r\nb")
    time.sleep(1)
    def gone(s):
        try:
            return s.settimeout(0.05) or s.recv(1) == b""
        except (socket.timeout, ConnectionResetError) as e:
            return isinstance(e, ConnectionResetError)
    dropped = [gone(s) for s in held]
    assert 0 < dropped.count(False) < 60, dropped.count(False)
    for s, gone in zip(held, dropped):  # the others are served as if nothing had happened
        if not gone:
            s.settimeout(10)
            s.sendall(b"b" * 1048575)
            assert parse(read_all(s))[2] == INDEX
    [s.close() for s in held]
    assert parse(exchange(get("/")))[2] == INDEX and daemon.proc.poll() is None


@pytest.mark.slow
def test_deadline_closes_connections_and_frees_the_full_pool(st, daemon):
    st.put("index.htm", INDEX), st.put("big.bin", b"z" * (4 << 20))
    t0 = time.monotonic()
    # All 100 workers busy: idle connections, one that trickles an unfinished
    # request (traffic does not extend the deadline), one that never reads
    # the big file it asked for.
    held = [connect() for _ in range(100)]
    trickle, unread = held[98], held[99]
    trickle.sendall(b"GET / HTTP/1.1\r\nX-Slow: ")
    unread.sendall(get("/big.bin"))
    waiting = connect()  # the 101st waits until a worker is freed by a close
    waiting.sendall(get("/")), waiting.settimeout(2)
    with pytest.raises(socket.timeout):
        waiting.recv(1)
    held[0].close()
    assert parse(read_all(waiting, 5))[2] == INDEX

    refill, late = connect(), connect()  # full again: the next waits for the first deadlines
    late.sendall(get("/")), late.settimeout(0.5)
    sent = 0
    while time.monotonic() < t0 + 59.5:
        with pytest.raises(socket.timeout):
            late.recv(1)
        if time.monotonic() > t0 + 5 * (sent + 1):
            trickle.sendall(b"a")
            sent += 1
    assert sent >= 10
    assert parse(read_all(late, t0 + 66 - time.monotonic()))[2] == INDEX
    assert all(read_all(s, max(0.1, t0 + 66 - time.monotonic())) == b"" for s in held[1:99] + [refill])
    cut = read_all(unread, 5)
    assert cut.startswith(b"HTTP/1.1 200 OK\r\n") and len(cut) < 4 << 20
    assert all(parse(exchange(get("/")))[2] == INDEX for _ in range(3))
    assert daemon.proc.poll() is None


@pytest.mark.slow
def test_calls_holding_the_thread_put_off_a_waiting_connections_cut_by_60_s_at_most(st, daemon, fake):
    fake(lambda msg, n: time.sleep(9) or entry_answer(0, b"abcd"))
    ta, waiting = time.monotonic(), connect()
    waiting.sendall(b"GET / HTTP/1.1\r\n")  # and no more
    [exchange(post(EP, call(READ, n, 12 * n, hdr(0x1000, 1, 4) * n)), 90) for n in (7, 4)]  # 63 s, then 36 s of calls
    pytest.raises(TimeoutError, read_all, waiting, ta + 119 - time.monotonic())  # their time counts,
    assert read_all(waiting, ta + 122 - time.monotonic()) == b""  # but 60 s of it at most: cut 120 s after its accept
