#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
"""The whole stack in one place: a mount namespace of its own, the document
root, the socket group, a syslog receiver on /dev/log, the service simulator,
KXRWebServer and nginx with the site of contrib/nginx over HTTPS, with a
throwaway certificate and two users (start_nginx). Used by tools/run,
bench/run, tests/browser/run, tests/soak/run and the daemon tests.

Private (the default): a tmpfs over /run and the document root (or its
deepest existing ancestor), an overlay over /etc (the users and roles files
the daemon reads, its groups), a private /etc/group holding the socket group
and a private /dev whose log socket is ours; nothing on the host changes.
--host (tools/run): the host's /run and /etc/group (the group is created when
missing), so that other terminals reach the sockets, with the overlay over
/etc all the same; what the run creates under /run, its /dev/log receiver and
its work folder are removed at the end.

  stack.py BUILD [--host] [--www] [--no-sim] [--daemon ARGS] [--daemon-env NAME=VALUE] [--short-sessions]
           [--nginx PORT] [--nginx-http PORT] [--site FILE] [--syslog FILE|-] [--wait] [-- COMMAND...]

Runs COMMAND inside, with KXR_* variables naming what was started (see
environment()), showing the last lines of the logs when it fails, then ends
everything: when COMMAND ends, or with --wait when
the daemon ends or on Ctrl-C. BUILD/kxr-stack.json (written by CMake) names
the executables and the build's fixed settings.
"""
import ctypes, grp, json, os, re, shutil, secrets, signal, socket, stat, subprocess, sys, tempfile, threading, time

_libc = ctypes.CDLL(None, use_errno=True)
MS_RDONLY, MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 1, 32, 4096, 16384, 1 << 18


def _enc(s):
    return None if s is None else s.encode()


def mount(source, target, fstype=None, flags=0, data=None):
    if _libc.mount(_enc(source), _enc(target), _enc(fstype), ctypes.c_ulong(flags), _enc(data)) != 0:
        e = ctypes.get_errno()
        raise OSError(e, f"mount {source} on {target}: {os.strerror(e)}")


def umount(target):
    _libc.umount2(_enc(target), 2)  # MNT_DETACH


def load(build):
    """The build's executables and fixed settings."""
    with open(os.path.join(build, "kxr-stack.json")) as f:
        s = json.load(f)
    s["socket"] = s["socket_dir"] + s["socket_name"]
    return s


def connects(path, kind=socket.SOCK_STREAM):
    try:
        with socket.socket(socket.AF_UNIX, kind) as s:
            s.connect(path)
        return True
    except OSError:
        return False


def wait_until(predicate, seconds=10.0, step=0.01):
    end = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(step)
    return True


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Syslog:
    """Receives syslog datagrams on a path; records (priority, facility, ident, pid, text)."""
    LINE = re.compile(rb"<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^\[:]*)(?:\[(\d+)\])?: ?(.*?)\n*\Z", re.S)
    NAMES = "emerg alert crit err warning notice info debug".split()

    def __init__(self, path, echo=None):
        self.path, self.echo, self.records = path, echo, []
        self.cond = threading.Condition()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            m = self.LINE.match(data)
            if not m:
                continue
            pri = int(m[1])
            rec = (pri & 7, pri >> 3, m[2].decode(), int(m[3] or 0), m[4].decode(errors="replace"))
            with self.cond:
                self.records.append(rec)
                self.cond.notify_all()
            if self.echo and rec[2] != "stack-sync":
                print(f"[{self.NAMES[rec[0]]}] {rec[2]}[{rec[3]}]: {rec[4]}", file=self.echo, flush=True)

    def sync(self):
        """Every line sent before this call has been received."""
        mark = f"{time.monotonic_ns()}"
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(f"<7>stack-sync: {mark}".encode(), self.path)
        self.wait_for(mark, 5)
        with self.cond:
            self.records = [r for r in self.records if r[2] != "stack-sync"]

    def wait_for(self, text, seconds=5.0):
        with self.cond:
            return self.cond.wait_for(lambda: any(r[4] == text for r in self.records), seconds)

    def lines(self):
        self.sync()
        return list(self.records)

    def clear(self):
        self.sync()
        self.records = []

    def close(self):
        self.sock.shutdown(socket.SHUT_RDWR)  # wakes the receiving thread, which holds the socket open
        self.sock.close()


class Start:
    """How one start of the daemon went."""
    def __init__(self, proc):
        self.proc, self.launched = proc, proc.pid
        self.status = None   # exit status of the launched process, once it ended (negative: signal)
        self.serving = None  # pid of the process that serves: launched or the detached one
        self.ready = False   # the socket accepts and has its final mode

    def output(self):
        self.proc.log.seek(0)
        return self.proc.log.read().decode(errors="replace")


class Stack:
    def __init__(self, settings, host=False, www=False, echo=None):
        self.s, self.host, self.www, self.echo = settings, host, www, echo
        self.procs, self.leftovers, self.syslog, self.follower = [], [], None, None
        self.work = self.made_log = self.saved_log_link = self.nginx_port = self.nginx_http_port = self.cacert = None
        self.users = {}

    # ------------------------------------------------------------ namespace
    def enter(self):
        if os.geteuid() != 0:
            raise PermissionError("needs root (a private mount namespace)")
        if _libc.unshare(0x20000) != 0:  # CLONE_NEWNS
            raise OSError(ctypes.get_errno(), "unshare")
        mount("none", "/", None, MS_REC | MS_PRIVATE)  # nothing propagates back to the host
        _libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER: detached daemons stay ours to reap
        if self.host:
            self._enter_host()
            self._private_etc()
        else:
            mount("tmpfs", "/run", "tmpfs", 0, "mode=0755")
            self.work = "/run/.stack"
            os.mkdir(self.work)
            mount("tmpfs", self.work, "tmpfs", 0, "mode=0755")
            self._private_etc()
            self._private_group()
            self._private_dev()
        os.chmod(self.work, 0o755)
        self._docroot()

    def _enter_host(self):
        group = self.s["group"]
        if subprocess.run(["getent", "group", group], stdout=subprocess.DEVNULL).returncode != 0:
            subprocess.run(["groupadd", group], check=True)
            print(f"created: group {group}")
        self.work = tempfile.mkdtemp(prefix="kxr-run.")
        for path in (self.s["socket_dir"].rstrip("/"), os.path.dirname(self.s["service_socket"]), self.s["pid_file"]):
            if not os.path.lexists(path):
                self.leftovers.append(path)
        if connects("/dev/log", socket.SOCK_DGRAM):
            # A syslog daemon has the lines: follow them where it keeps them.
            if shutil.which("journalctl") and os.path.exists("/run/systemd/journal/socket"):
                self.follower = subprocess.Popen(["journalctl", "-f", "-n", "0", "-t", "KXRWebServer"])
            elif os.access("/var/log/syslog", os.R_OK):
                self.follower = subprocess.Popen("tail -n 0 -F /var/log/syslog 2>/dev/null | grep --line-buffered KXRWebServer",
                                                 shell=True, start_new_session=True)
            else:
                print("note: the daemon's syslog lines go to this machine's syslog daemon")
            time.sleep(0.3)
            return
        if os.path.islink("/dev/log"):
            self.saved_log_link = os.readlink("/dev/log")
        elif os.path.lexists("/dev/log") and not stat.S_ISSOCK(os.lstat("/dev/log").st_mode):
            raise RuntimeError("/dev/log is neither a socket nor a link; not touching it")
        if os.path.lexists("/dev/log"):
            os.unlink("/dev/log")
        self.made_log = True
        self.syslog = Syslog("/dev/log", self.echo)

    def _private_etc(self):
        # /etc as it is, but what the stack writes there (the users and roles files the daemon reads, the
        # groups of its own) goes to an upper layer in the work folder, seen by this namespace only. What is
        # mounted below /etc (a container's /etc/hosts, an outer stack's /etc/group) is mounted again on top.
        upper, work, kept = self.work + "/etc-upper", self.work + "/etc-work", self.work + "/etc-mounts"
        os.mkdir(upper), os.mkdir(work), os.mkdir(kept)
        with open("/proc/self/mountinfo") as f:
            inside = sorted({line.split()[4] for line in f if line.split()[4].startswith("/etc/")}, key=len)
        for i, path in enumerate(inside):
            os.mkdir(f"{kept}/{i}") if os.path.isdir(path) else open(f"{kept}/{i}", "w").close()
            mount(path, f"{kept}/{i}", None, MS_BIND | MS_REC)
        with open("/etc/group") as f:
            lines = f.read().splitlines()
        mount("overlay", "/etc", "overlay", 0, f"lowerdir=/etc,upperdir={upper},workdir={work}")
        for i, path in enumerate(inside):
            mount(f"{kept}/{i}", path, None, MS_BIND | MS_REC)
        self.etc = os.path.dirname(self.s["users_file"])
        os.makedirs(self.etc, exist_ok=True)
        used = {int(l.split(":")[2]) for l in lines if l.count(":") >= 3 and l.split(":")[2].isdigit()}
        for name in (self.s["daemon_group"], self.s["service_group"]):
            if not any(l.startswith(name + ":") for l in lines):
                gid = next(g for g in range(4300, 65000) if g not in used)
                used.add(gid)
                lines.append(f"{name}:x:{gid}:")
        with open("/etc/group", "w") as f:
            f.write("\n".join(lines) + "\n")

    def set_users(self, users):
        """The users the daemon reads: {name: (password, role or None)}, in its users and roles files
        (htpasswd -B, root and the daemon's group only, as kxr-user writes them)."""
        files = (self.s["users_file"], self.s["roles_file"])
        for path in files:
            open(path, "w").close()
        for name, (password, _) in users.items():
            subprocess.run(["htpasswd", "-i", "-B", "-C", "5", files[0], name], input=password.encode(),
                           check=True, capture_output=True)
        with open(files[1], "w") as f:
            f.write("".join(f"{name} {role};\n" for name, (_, role) in users.items() if role))
        for path in files:
            os.chown(path, 0, grp.getgrnam(self.s["daemon_group"]).gr_gid)
            os.chmod(path, 0o640)

    def _private_group(self):
        group = self.s["group"]
        with open("/etc/group") as f:
            self.group_lines = [l for l in f.read().splitlines() if not l.startswith(group + ":")]
        used = {int(l.split(":")[2]) for l in self.group_lines if l.count(":") >= 3 and l.split(":")[2].isdigit()}
        self.gid = next(g for g in range(4242, 65000) if g not in used)
        self.group_file = self.work + "/group"
        self.set_group(True)
        mount(self.group_file, "/etc/group", None, MS_BIND)

    def set_group(self, present):
        lines = self.group_lines + ([f"{self.s['group']}:x:{self.gid}:"] if present else [])
        with open(self.group_file, "r+" if os.path.exists(self.group_file) else "w") as f:
            f.truncate()  # in place: /etc/group is bound to this inode
            f.write("\n".join(lines) + "\n")

    def _private_dev(self):
        # /dev as it is, except that the log socket is ours.
        stage = self.work + "/dev"
        os.mkdir(stage)
        for name in os.listdir("/dev"):
            src, dst = "/dev/" + name, stage + "/" + name
            if name == "log":
                continue
            if name == "ptmx":  # new terminals come from the pts instance seen here
                os.symlink("pts/ptmx", dst)
            elif os.path.islink(src):
                os.symlink(os.readlink(src), dst)
            elif os.path.isdir(src):
                os.mkdir(dst)
                mount(src, dst, None, MS_BIND | MS_REC)
            else:
                open(dst, "w").close()
                mount(src, dst, None, MS_BIND)
        self.syslog = Syslog(stage + "/log", self.echo)
        mount(stage, "/dev", None, MS_BIND | MS_REC)
        self.syslog.path = "/dev/log"

    def _docroot(self):
        root = self.s["docroot"]
        anc = root
        while not os.path.isdir(anc):
            anc = os.path.dirname(anc)
        if anc != root:
            if anc in ("/", "/usr", "/etc", "/bin", "/lib", "/proc", "/sys", "/dev") or \
                    (self.s["source"] + "/").startswith(anc + "/"):
                raise RuntimeError(f"will not hide {anc} to make {root}")
            mount("tmpfs", anc, "tmpfs", 0, "mode=0755")  # seen by this namespace only
            os.makedirs(root)
        if self.www:
            mount(self.s["source"] + "/contrib/www", root, None, MS_BIND)
        else:
            self.fresh_docroot()

    def fresh_docroot(self):
        umount(self.s["docroot"])
        if os.path.ismount(self.s["docroot"]):
            umount(self.s["docroot"])
        mount("tmpfs", self.s["docroot"], "tmpfs", 0, "mode=0755")

    def put(self, relative, content):
        path = os.path.join(self.s["docroot"], relative.lstrip("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode())
        return path

    def reset(self):
        """Back to a clean private state between tests."""
        self.stop_all()
        mount(None, "/run", None, MS_REMOUNT | MS_BIND)
        for name in os.listdir("/run"):
            if "/run/" + name != self.work:
                p = "/run/" + name
                shutil.rmtree(p) if os.path.isdir(p) and not os.path.islink(p) else os.unlink(p)
        self.fresh_docroot()
        self.set_group(True)
        self.users = {}
        for name in os.listdir(self.etc):  # the overlay's: the host's own stay as they are
            p = os.path.join(self.etc, name)
            shutil.rmtree(p) if os.path.isdir(p) and not os.path.islink(p) else os.unlink(p)
        self.syslog.clear()

    # ------------------------------------------------------------ processes
    def spawn(self, argv, name, env=None, umask=None, argv0=None, log=None):
        log = log or open(f"{self.work}/{name}.log", "w+b")
        proc = subprocess.Popen([argv0 or argv[0]] + list(argv[1:]), executable=argv[0], stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT, env={**os.environ, **(env or {})},
                                umask=-1 if umask is None else umask)
        proc.log, proc.name = log, name
        self.procs.append(proc)
        return proc

    def start_sim(self, dictionary=None):
        path = self.s["service_socket"]
        proc = self.spawn([self.s["sim"]] + ([dictionary] if dictionary else []), "sim")
        if not wait_until(lambda: connects(path) or proc.poll() is not None):
            raise RuntimeError("kxr-service-sim did not come up")
        return proc

    def start_daemon(self, args=("-nofork",), argv0=None, umask=0o022, env=None, seconds=10, short=False):
        """Starts the daemon (short: the tests' one whose sessions end within seconds) and waits until it
        serves or the started process has ended."""
        sock, pidfile = self.s["socket"], self.s["pid_file"]
        stale = os.stat(sock).st_ino if os.path.exists(sock) else 0
        exe = self.s["daemon_short" if short else "daemon"]
        st = Start(self.spawn([exe] + list(args), "daemon", env, umask, argv0))
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if st.status is None and st.proc.poll() is not None:
                st.status = st.proc.returncode
                if st.status != 0:
                    return st
            try:
                file_pid = int(open(pidfile).read())
            except (OSError, ValueError):
                file_pid = 0
            detached = file_pid > 0 and file_pid != st.launched
            try:
                info = os.stat(sock)
                ready = info.st_ino != stale and info.st_mode & 0o7777 == 0o660 and connects(sock)
            except OSError:
                ready = False
            if ready:
                st.ready, st.serving = True, file_pid if detached else st.launched
                if detached and st.status is None:
                    st.status = st.proc.wait(max(0.1, end - time.monotonic()))
                return st
            if st.status is not None and detached and not alive(file_pid):
                return st
            time.sleep(0.01)
        return st

    def start_nginx(self, port=0, site=None, http_port=0):
        """nginx with the site as shipped, HTTPS on port and plain HTTP on http_port (0: free ones); only
        the files it includes from /etc/kxrwebserver are the work folder's (see site_files). With site: that
        server block instead (@WORK@ and @DOCROOT@ stand for the work folder and the document root)."""
        w = self.work
        if site is None:
            self.nginx_port = port or free_port()
            self.nginx_http_port = http_port or next(p for p in iter(free_port, None) if p != self.nginx_port)
            with open(self.s["source"] + "/contrib/nginx/kxrwebserver.conf") as f:
                text = f.read().replace("/etc/kxrwebserver/", f"{w}/etc/")
            self.site_files(f"{w}/etc")
            listen = f"127.0.0.1:{self.nginx_port}"
        else:
            with open(site) as f:
                text = f.read()
        text = text.replace("@WORK@", w).replace("@DOCROOT@", self.s["docroot"])
        listen = listen if site is None else re.search(r"listen\s+(\S+);", text)[1]
        with open(f"{w}/site.conf", "w") as f:
            f.write(text)
        temps = "".join(f"  {k}_temp_path {w}/{k};\n" for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(f"{w}/nginx.conf", "w") as f:
            f.write(f"user nobody {self.s['group']};\nworker_processes 1;\ndaemon off;\npid {w}/nginx.pid;\n"
                    f"error_log {w}/nginx-error.log warn;\nevents {{ worker_connections 1024; }}\n"
                    f"http {{\n  access_log off;\n{temps}  include {w}/site.conf;\n}}\n")
        open(f"{w}/nginx-error.log", "w").close()  # this start's lines only
        proc = self.spawn(["/usr/sbin/nginx", "-e", f"{w}/nginx-error.log", "-c", f"{w}/nginx.conf"], "nginx")

        def up():
            if proc.poll() is not None:
                return True
            if listen.startswith("unix:"):
                return connects(listen[5:])
            try:
                socket.create_connection(("127.0.0.1", int(listen.rsplit(":", 1)[-1])), 1).close()
                return True
            except OSError:
                return False
        if not wait_until(up) or proc.poll() is not None:
            raise RuntimeError("nginx did not come up:\n" + open(f"{w}/nginx-error.log").read())
        return self.nginx_port

    def site_files(self, etc):
        """What a device keeps in /etc/kxrwebserver for nginx, written here: the listen lines, a throwaway
        certificate for localhost and 127.0.0.1 (cacert) and the host list as shipped; and the users operator and
        viewer with random passwords (users), each with the role of its name, in the daemon's files."""
        os.makedirs(f"{etc}/nginx", exist_ok=True)
        self.cacert, key = f"{etc}/site-cert.pem", f"{etc}/site-key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                        "-keyout", key, "-out", self.cacert], check=True, capture_output=True)
        files = {"listen.conf": f"listen 127.0.0.1:{self.nginx_port} ssl default_server;\n",
                 "listen-http.conf": f"listen 127.0.0.1:{self.nginx_http_port} default_server;\n"
                                     f"set $kxr_https_port \":{self.nginx_port}\";\n",
                 "certificate.conf": f"ssl_certificate {self.cacert};\nssl_certificate_key {key};\n"}
        for name, text in files.items():
            with open(f"{etc}/nginx/{name}", "w") as f:
                f.write(text)
        shutil.copy(self.s["source"] + "/contrib/nginx/hosts.conf", f"{etc}/nginx/hosts.conf")
        self.site_users()

    def site_users(self):
        """The users operator and viewer with random passwords (users), each with the role of its name, in the
        daemon's files; once a stack."""
        if self.users:
            return
        self.users = {name: secrets.token_urlsafe(12) for name in ("operator", "viewer")}
        self.set_users({name: (password, name) for name, password in self.users.items()})
        if any(proc.name == "daemon" and proc.poll() is None for proc in self.procs):
            time.sleep(1.1)  # a running daemon looks at its users files once a second at most

    def children(self):
        pids = []
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/children") as f:
                    pids += [int(p) for p in f.read().split()]
            except FileNotFoundError:
                pass  # a thread that has just ended
        return [p for p in pids if self.follower is None or p != self.follower.pid]

    def stop_all(self, sig=signal.SIGKILL):
        """Ends every process started here, also those that detached themselves."""
        end = time.monotonic() + 10
        for proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(sig)
        if sig != signal.SIGKILL:  # time to remove their sockets
            wait_until(lambda: all(proc.poll() is not None for proc in self.procs), 2)
        while time.monotonic() < end:
            for proc in self.procs:
                proc.poll()
            while True:
                try:
                    if os.waitpid(-1, os.WNOHANG)[0] == 0:
                        break
                except ChildProcessError:
                    break
            left = self.children()
            if not left:
                break
            for pid in left:
                os.kill(pid, signal.SIGKILL)
            time.sleep(0.005)
        for proc in self.procs:
            proc.log.close()
        self.procs = []

    def close(self):
        self.stop_all(signal.SIGTERM)
        if self.follower:
            os.killpg(self.follower.pid, signal.SIGTERM) if self.follower.args[0] != "journalctl" else self.follower.kill()
            self.follower.wait()
        if self.syslog:
            self.syslog.close()
        if self.host:
            if self.made_log:
                os.unlink("/dev/log")
                if self.saved_log_link:
                    os.symlink(self.saved_log_link, "/dev/log")
            for path in self.leftovers + [self.work]:
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path, ignore_errors=True)
                elif os.path.lexists(path):
                    os.unlink(path)

    def environment(self):
        e = {"KXR_WORK": self.work, "KXR_DOCROOT": self.s["docroot"], "KXR_SOCKET": self.s["socket"],
             "KXR_SERVICE_SOCKET": self.s["service_socket"], "KXR_CLI": self.s["cli"],
             "KXR_PXO_LIBRARY": os.path.join(self.s["pxo_dir"], self.s["pxo_library"])}
        for proc in self.procs:
            e[f"KXR_{proc.name.upper()}_PID"] = str(proc.pid)
        if self.nginx_port:
            e.update(KXR_NGINX_PORT=str(self.nginx_port), KXR_NGINX_HTTP_PORT=str(self.nginx_http_port),
                     KXR_URL=f"https://127.0.0.1:{self.nginx_port}/", KXR_CACERT=self.cacert,
                     KXR_OPERATOR_PASSWORD=self.users["operator"], KXR_VIEWER_PASSWORD=self.users["viewer"])
        return e


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def main(argv):
    import argparse
    p = argparse.ArgumentParser(description="Brings up the stack; see the top of this file.")
    p.add_argument("build")
    p.add_argument("--host", action="store_true")
    p.add_argument("--www", action="store_true", help="the document root shows contrib/www")
    p.add_argument("--no-sim", action="store_true")
    p.add_argument("--daemon", default="-nofork", help="the daemon's arguments")
    p.add_argument("--daemon-env", action="append", default=[], help="NAME=VALUE for the daemon")
    p.add_argument("--short-sessions", action="store_true", help="the tests' daemon, whose sessions end in seconds")
    p.add_argument("--nginx", type=int, help="start nginx with the site, HTTPS on this port (0: a free one)")
    p.add_argument("--nginx-http", type=int, default=0, help="the site's plain HTTP port (default: a free one)")
    p.add_argument("--site", help="another server block for nginx instead of contrib/nginx's site"
                   " (@WORK@ and @DOCROOT@ stand for the work folder and the document root)")
    p.add_argument("--syslog", help="write the syslog lines here (- for standard output)")
    p.add_argument("--wait", action="store_true", help="after COMMAND, run until the daemon ends or Ctrl-C")
    cut = argv.index("--") if "--" in argv else len(argv)
    a, command = p.parse_args(argv[:cut]), argv[cut + 1:]
    st = Stack(load(a.build), host=a.host, www=a.www, echo=sys.stdout if a.syslog == "-" else None)
    status = 1

    def stopped(signum, frame):
        raise KeyboardInterrupt  # a SIGTERM or SIGHUP (kill, a closed terminal) cleans up as Ctrl-C does
    signal.signal(signal.SIGTERM, stopped)
    signal.signal(signal.SIGHUP, stopped)
    try:
        st.enter()
        if a.syslog and a.syslog != "-" and st.syslog:
            st.syslog.echo = open(os.path.join(st.work, a.syslog), "w")  # a relative name lies in the work folder
        if not a.no_sim:
            st.start_sim()
        if a.nginx is not None or a.site:
            st.site_users()  # before the daemon's start, which reads them at once
        start = st.start_daemon(a.daemon.split(), env=dict(kv.split("=", 1) for kv in a.daemon_env),
                                short=a.short_sessions)
        if not start.ready:
            time.sleep(0.2)  # its last syslog lines
            print(f"KXRWebServer did not start (status {start.status}):\n{start.output()}", file=sys.stderr)
            return start.status or 1
        if a.nginx is not None or a.site:
            st.start_nginx(a.nginx or 0, a.site, a.nginx_http)
        status = 0
        if command:
            status = subprocess.run(command, env={**os.environ, **st.environment()}).returncode
            for name in ("sim.log", "daemon.log", "syslog.txt", "nginx-error.log") if status else ():
                path = os.path.join(st.work, name)
                if os.path.exists(path) and os.path.getsize(path):
                    print(f"--- {name}\n" + "".join(open(path, errors="replace").readlines()[-40:]), end="")
        if a.wait and status == 0:
            status = start.proc.wait()
    except KeyboardInterrupt:
        status = 130
    except (OSError, RuntimeError) as e:
        print(f"stack: {e}", file=sys.stderr)
        for proc in st.procs:
            if proc.name != "daemon":
                proc.log.seek(0)
                sys.stderr.write(proc.log.read().decode(errors="replace")[-2000:])
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)  # a second signal must not cut the clean-up short
        st.close()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
