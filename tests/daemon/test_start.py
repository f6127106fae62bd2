# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# Start-up: every mode, a second instance, every start failure, the socket's group and modes, recovery after a kill.
import os, signal, stat
import pytest
from conftest import S, dead_socket, exchange, get, kxr, plain, NOT_FOUND, parse

N, E, W = 5, 3, 4  # notice, err, warning
STARTED = (N, "KXRWebServer started.")
NO_USERS = (N, f"No users in {S.get('users_file')}: only callers of uid 0 are served.")
VERBOSE = [(N, "CDaemon: Daemon started"), STARTED, (N, "Main: -Verbose Mode: Enabled"),
           (N, "socket: " + S.get("socket", "")), (N, "root: " + S.get("docroot", "")),
           (N, "num_workers: 100"), (N, "spin: 0"), NO_USERS, (N, "listening...")]


def logged(st):
    lines = st.syslog.lines()
    assert all(r[1:3] == (16, "KXRWebServer") for r in lines), lines  # LOCAL0
    return [(r[0], r[4]) for r in lines]


def pid_file(): return open(S["pid_file"]).read()


@pytest.mark.parametrize("argv0, args, fork, verbose", [
    (None, ["-nofork"], False, False),
    (None, ["/v", "-nof"], False, True),
    (None, ["-verbose", "/nofork"], False, True),
    (None, ["-V", "--verbose", "-nofork=1", "/NOF"], True, False),  # words compared whole
    ("-v", ["/nof"], False, True),                                  # the program name counts
    (None, [], True, False),
    (None, ["/verbose"], True, True),
])
def test_start_in_every_mode(st, argv0, args, fork, verbose):
    assert (start := st.start_daemon(args, argv0=argv0)).ready, start.output()
    assert (start.status == 0) if fork else (start.status is None and start.serving == start.launched)
    assert pid_file() == (str(start.serving) if fork else "")
    if verbose:
        assert st.syslog.wait_for("listening...")
        want = [(N, "CDaemon: Do fork" if fork else "CDaemon: Do NOT fork")] + VERBOSE
    else:
        assert exchange(get("/none")) == plain("404 Not Found", NOT_FOUND)  # start-up has said all
        want = [STARTED, NO_USERS]
    assert logged(st) == want
    # Every line after the fork comes from the detached process.
    pids = [r[3] for r in st.syslog.lines()]
    assert pids == [start.launched if i == 0 and fork and verbose else start.serving for i in range(len(pids))]


@pytest.mark.parametrize("first, second", [(["-nofork"], []), ([], ["-nofork"])])
def test_second_instance_is_refused(st, first, second):
    assert (running := st.start_daemon(first)).ready
    before = pid_file()
    st.syslog.clear()
    refused = st.start_daemon(second)
    assert refused.status == 1 and not refused.ready
    assert logged(st) == [(N, "KXRWebServer is already running!")]
    assert pid_file() == before and os.path.exists(f"/proc/{running.serving}")
    assert exchange(get("/none")) == plain("404 Not Found", NOT_FOUND)


def test_killed_run_leaves_files_that_the_next_start_recovers(st):
    first = st.start_daemon()
    first.proc.send_signal(signal.SIGTERM)
    assert first.proc.wait(10) == -signal.SIGTERM  # no handler: it leaves everything behind
    assert stat.S_ISSOCK(os.stat(S["socket"]).st_mode) and os.path.exists(S["pid_file"])
    assert (second := st.start_daemon([])).ready and pid_file() == str(second.serving)
    st.put("index.htm", b"index")
    assert parse(exchange(get("/")))[2] == b"index"


def _full(path):  # a directory holding a file
    os.makedirs(path, 0o700, exist_ok=True)
    open(path + "/other", "w").close()


@pytest.mark.parametrize("owner", [0, 4321])
def test_socket_dir_that_cannot_be_removed_is_emptied_and_kept_if_own(st, owner, request):
    """A mount point, as systemd's runtime directory is: emptied, kept, mode 0755; another user's is left alone."""
    _full(S["socket_dir"])
    kxr.mount(S["socket_dir"], S["socket_dir"], None, kxr.MS_BIND)
    request.addfinalizer(lambda: st.stop_all() or kxr.umount(S["socket_dir"]))
    dead_socket(S["socket"]).close()  # its file stays
    os.chown(S["socket_dir"], owner, owner)
    start, s = st.start_daemon(umask=0o027), os.stat(S["socket_dir"])
    want = ((False, 1, [(E, "Could not delete socket directory!")], 0o700, ["other"]) if owner else
            (True, None, [STARTED, NO_USERS], 0o755, [S["socket_name"]]))
    assert (start.ready, start.status, logged(st), s.st_mode & 0o7777, os.listdir(S["socket_dir"])) == want


@pytest.mark.parametrize("arrange, lines, left", [
    (lambda st: _full(S["socket_dir"]), [(E, "Could not delete socket directory!")], lambda: os.path.exists(S["socket_dir"] + "other")),
    # A link is not followed, also where the directory would be emptied: no deleting in a read-only /run.
    (lambda st: _full(S["docroot"] + "/t") or os.symlink(S["docroot"] + "/t", S["socket_dir"].rstrip("/")) or
     os.system("mount -o remount,bind,ro /run"), [(W, "CDaemon: Cannot create pidfile!"), (E, "Could not delete socket directory!")],
     lambda: os.path.exists(S["docroot"] + "/t/other")),
    (lambda st: open(S["socket_dir"].rstrip("/"), "w").close(), [(E, "Could not delete socket file!")], None),
    (lambda st: st.set_group(False), [STARTED, NO_USERS, (E, "Group was not found by name: " + S.get("group", ""))],
     lambda: stat.S_ISSOCK(os.stat(S["socket"]).st_mode)),
], ids=["dir holds a file", "link in a read-only run", "dir is a file", "no group"])
def test_start_failures_exit_1_and_say_why(st, arrange, lines, left):
    arrange(st)
    assert (start := st.start_daemon()).status == 1, start.output()
    assert logged(st) == lines
    assert not os.path.exists(S["pid_file"])  # given up on every failure path
    assert left is None or left()


def test_socket_group_and_modes(st):
    assert st.start_daemon(umask=0o027).ready
    sock, sdir, pid = (os.stat(p) for p in (S["socket"], S["socket_dir"], S["pid_file"]))
    assert (stat.S_ISSOCK(sock.st_mode), sock.st_mode & 0o7777, sock.st_gid) == (True, 0o660, st.gid)
    assert sdir.st_mode & 0o7777 == 0o750 and pid.st_mode & 0o7777 == 0o600  # 0755 less the umask
