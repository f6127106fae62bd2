# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# tools/run in a terminal: it brings the stack up, and one Ctrl-C ends it at once and leaves nothing behind. Run in
# the test's own namespace (its /run, /dev and /etc/group taken for the host's), nobody on /dev/log: it shows the
# syslog lines itself.
import os, pty, select, time
from conftest import S, kxr


def read_some(fd, seconds):
    try:
        return os.read(fd, 4096) if select.select([fd], [], [], seconds)[0] else b""
    except OSError:
        return None  # the terminal is gone


def test_ctrl_c_stops_everything_and_returns(st):
    port = kxr.free_port()
    st.syslog.close()
    pid, fd = pty.fork()
    if pid == 0:
        os.environ.update(KXR_RUN_BUILD=os.environ["KXR_BUILD"], KXR_RUN_PORT=str(port), KXR_RUN_HTTP_PORT=str(port + 1))
        os.execv(S["source"] + "/tools/run", ["tools/run"])
    out = b""
    end = time.monotonic() + 30
    while b"Ctrl-C stops everything" not in out and time.monotonic() < end and (got := read_some(fd, 0.5)) is not None:
        out += got
    assert b"Ctrl-C stops everything" in out, out.decode(errors="replace")
    assert b"KXRWebServer[" in out and b"]: listening..." in out
    work = [w for w in out.decode().split() if w.startswith("/tmp/kxr-run.")][0]
    os.write(fd, b"\x03")
    t0 = time.monotonic()
    while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() - t0 < 5:
        out += read_some(fd, 0.1) or b""
    done, status = done
    assert done and os.waitstatus_to_exitcode(status) == 130, out.decode(errors="replace")
    time.sleep(0.2)
    assert st.children() == []
    for path in (S["socket_dir"], S["pid_file"], os.path.dirname(S["service_socket"]), work, "/dev/log"):
        assert not os.path.lexists(path), path
    st.syslog = kxr.Syslog("/dev/log")
