#!/usr/bin/python3
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
"""What bench/run measures, beside the rates: the machine's CPU time per
request and the servers' system calls per request.

  measure.py load --n N --c C --path PATH [--body FILE] [--rounds R] [--log DIR]
                  NAME=SOCKET ...
      Runs h2load against each server in turn, R alternating rounds of N
      requests over C connections, then one more round per server with its
      system calls counted (those of every process that holds the listening
      socket SOCKET). Prints one line per server:
        NAME rate mean_us p99_us cpu_us syscalls spread
  measure.py keepalive --n N --path PATH [--body FILE --type TYPE] [--need FIELD]
                       [--rounds R] [--serving PID,...] [--fields NAME=FILE] NAME=SOCKET ...
      The same over HTTPS with one connection kept alive, through this
      file's own client (h2load takes request fields on its command line
      only, and a credential must not be there): each server's extra fields
      (a Cookie or an Authorization) come from its FILE. Every answer must
      be 200, and carry FIELD when asked. Prints one line per server:
        NAME rate mean_us p99_us cpu_us serving_us spread serving_spread paired paired_cpu
      serving_us is the CPU time per request of the serving processes alone
      (those that hold SOCKET, and the PIDs given), from the scheduler's
      own count: what other work on the machine leaves untouched. paired is
      the median over the rounds of how far serving_us lies above the first
      server's in the same round, in percent ("-" for the first server);
      paired_cpu the same of cpu_us.
  measure.py floor --n N [--rounds R] EXE [ARG...]
      Runs the exchange tool EXE N (it prints "... rate R") R times, then once
      more with its system calls counted. Prints:
        rate per_exchange_us cpu_us syscalls spread

rate, mean and p99 come from the round with the median CPU time. cpu_us is the
median over the rounds of the machine's busy time (every core, kernel work
included, from /proc/stat) minus the load generator's own CPU time, per
request; rates on a shared machine move far more than this. spread is how far
the rounds of one server lie apart, (max - min) / median of cpu_us, in
percent: the noise to read a CPU ratio against. syscalls counts the
raw_syscalls:sys_enter events of the given processes with perf, in a round of
its own so that the tracing cost stays out of the CPU figures; "-" when perf
cannot count.
"""

import argparse
import os
import re
import select
import shutil
import signal
import socket as sockets
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

TICK = os.sysconf("SC_CLK_TCK")


def fail(message):
    print(f"measure.py: {message}", file=sys.stderr)
    sys.exit(1)


def busy_seconds():
    """Busy time of all cores so far: user, nice, system, irq and softirq."""
    with open("/proc/stat") as stat:
        fields = stat.readline().split()
    user, nice, system, _idle, _iowait, irq, softirq = (int(v) for v in fields[1:8])
    return (user + nice + system + irq + softirq) / TICK


def run_timed(argv):
    """Runs argv; returns (exit status, output, its own CPU seconds, machine busy seconds)."""
    out = tempfile.TemporaryFile(mode="w+")
    before = busy_seconds()
    child = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT)
    _, status, usage = os.wait4(child.pid, 0)
    after = busy_seconds()
    child.returncode = os.waitstatus_to_exitcode(status)
    out.seek(0)
    return child.returncode, out.read(), usage.ru_utime + usage.ru_stime, after - before


class SyscallCounter:
    """perf stat on running processes, enabled only around the measured work."""

    def __init__(self, pids):
        self.dir = tempfile.mkdtemp(prefix="kxr-measure-")
        ctl = os.path.join(self.dir, "ctl")
        ack = os.path.join(self.dir, "ack")
        self.out = os.path.join(self.dir, "out")
        self.err = os.path.join(self.dir, "err")
        os.mkfifo(ctl)
        os.mkfifo(ack)
        # Opened for reading and writing, so that neither open waits for perf.
        self.ctl = os.open(ctl, os.O_RDWR)
        self.ack = os.open(ack, os.O_RDWR)
        with open(self.err, "w") as err:
            self.perf = subprocess.Popen(
                ["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "-o", self.out, "-D", "-1",
                 "--control", f"fifo:{ctl},{ack}", "-p", ",".join(pids)],
                stdout=subprocess.DEVNULL, stderr=err)

    def command(self, word):
        """Sends enable or disable; whether perf acknowledged it in time."""
        os.write(self.ctl, (word + "\n").encode())
        deadline = time.monotonic() + 10
        answer = b""
        # perf writes "ack\n" and a zero byte.
        while b"ack\n" not in answer:
            left = deadline - time.monotonic()
            if left <= 0 or self.perf.poll() is not None:
                return False
            ready, _, _ = select.select([self.ack], [], [], min(left, 0.5))
            if ready:
                answer += os.read(self.ack, 64)
        return True

    def finish(self):
        """Stops perf; the count, or None."""
        if self.perf.poll() is None:
            self.perf.send_signal(signal.SIGINT)
        try:
            self.perf.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.perf.kill()
            self.perf.wait()
        os.close(self.ctl)
        os.close(self.ack)
        count = None
        try:
            with open(self.out) as out:
                for line in out:
                    parts = line.split(",")
                    if len(parts) > 2 and "raw_syscalls:sys_enter" in parts[2] and parts[0].isdigit():
                        count = int(parts[0])
        except OSError:
            pass
        if count is None:
            with open(self.err) as err:
                print(f"measure.py: perf: {err.read().strip()}", file=sys.stderr)
        shutil.rmtree(self.dir, ignore_errors=True)
        return count


def socket_pids(path):
    """The processes of this mount namespace that hold the listening Unix
    socket at path."""
    inodes = set()
    with open("/proc/net/unix") as table:
        next(table)
        for line in table:
            fields = line.split()
            if len(fields) >= 8 and fields[7] == path:
                inodes.add(fields[6])
    links = {f"socket:[{inode}]" for inode in inodes}
    # Daemons of other runs may listen at the same path in mount namespaces
    # of their own: only this one's count.
    here = os.readlink("/proc/self/ns/mnt")
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/ns/mnt") != here:
                continue
            fds = os.listdir(f"/proc/{pid}/fd")
            if any(os.readlink(f"/proc/{pid}/fd/{fd}") in links for fd in fds):
                pids.append(pid)
        except OSError:
            continue
    if not pids:
        fail(f"no process holds {path}")
    return pids


def count_syscalls(pids, work):
    """Runs work() with the processes' system calls counted; (result, count or
    None). perf now and then misses its start: one more try then."""
    result, count = count_once(pids, work)
    if count is None:
        result, count = count_once(pids, work)
        if count is None:
            print("measure.py: perf cannot count system calls here", file=sys.stderr)
    return result, count


def count_once(pids, work):
    try:
        counter = SyscallCounter(pids)
    except OSError:
        return work(), None
    enabled = counter.command("enable")
    result = work()
    if enabled:
        counter.command("disable")
    count = counter.finish()
    return result, (count if enabled else None)


def h2load(socket, n, c, path, body, log):
    """One h2load run; every request must be answered 200. Returns
    (rate, mean_us, p99_us, h2load's CPU seconds, machine busy seconds)."""
    argv = ["h2load", "--h1", "-B", f"unix:{socket}", "-n", str(n), "-c", str(c), f"--log-file={log}"]
    if body:
        argv += ["-d", body, "-H", "Content-Type: text/xml"]
    argv.append(f"http://localhost{path}")
    if os.path.exists(log):
        os.unlink(log)
    status, output, own, busy = run_timed(argv)
    if status != 0:
        fail(f"h2load failed: {output}")
    done = re.search(r"^requests: .* (\d+) succeeded", output, re.M)
    if not done or int(done.group(1)) != n:
        fail(f"h2load: {done.group(1) if done else '?'} of {n} requests succeeded on {socket} {path}: {output}")
    rate = float(re.search(r"^finished in .*, ([0-9.]+) req/s", output, re.M).group(1))
    times = []
    with open(log) as lines:
        for line in lines:
            _, code, micros = line.rstrip("\n").split("\t")[:3]
            if code != "200":
                fail(f"h2load: a {code} answer on {socket} {path}")
            times.append(float(micros))
    times.sort()
    rank = min(len(times), max(1, -(-len(times) * 99 // 100)))
    return rate, sum(times) / len(times), times[rank - 1], own, busy


def spread(values):
    middle = statistics.median(values)
    return 100.0 * (max(values) - min(values)) / middle if middle > 0 else 0.0


def fmt(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def named_sockets(servers):
    """(name, socket) of each NAME=SOCKET argument."""
    out = []
    for server in servers:
        try:
            name, socket = server.split("=")
        except ValueError:
            fail(f"not NAME=SOCKET: {server}")
        out.append((name, socket))
    return out


def cmd_load(args):
    servers = [(name, socket, socket_pids(socket)) for name, socket in named_sockets(args.servers)]
    log = os.path.join(args.log, "h2load.log")
    rounds = {name: [] for name, _, _ in servers}
    for _ in range(args.rounds):
        for name, socket, _ in servers:
            rate, mean, p99, own, busy = h2load(socket, args.n, args.c, args.path, args.body, log)
            rounds[name].append((max(busy - own, 0.0) * 1e6 / args.n, rate, mean, p99))
    for name, socket, pids in servers:
        _, count = count_syscalls(pids, lambda: h2load(socket, args.n, args.c, args.path, args.body, log))
        ordered = sorted(rounds[name])
        cpu, rate, mean, p99 = ordered[len(ordered) // 2]
        syscalls = None if count is None else count / args.n
        print(name, f"{rate:.2f}", fmt(mean), fmt(p99), fmt(cpu), fmt(syscalls), fmt(spread([r[0] for r in ordered]), 0))


def serving_seconds(pids):
    """CPU time so far of every thread of the processes, from the
    scheduler's own count (ns); a process that has gone counts nothing."""
    total = 0
    for pid in pids:
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                    total += int(stat.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass
    return total / 1e9


def cmd_client(args):
    """N requests over TLS on one connection kept alive (another when the
    server closes it); prints "rate R mean_us M p99_us P"."""
    fields = ""
    if args.fields:
        with open(args.fields) as lines:
            fields = "".join(line.strip() + "\r\n" for line in lines if line.strip())
    body = b""
    if args.body:
        with open(args.body, "rb") as data:
            body = data.read()
    head = f"{'POST' if args.body else 'GET'} {args.path} HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n{fields}"
    if args.body:
        head += f"Content-Type: {args.type}\r\nContent-Length: {len(body)}\r\n"
    request = (head + "\r\n").encode() + body
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE  # the bench's own throwaway certificate
    need = args.need.lower().encode() + b":" if args.need else None
    conn, times = None, []
    began = time.perf_counter()
    for _ in range(args.n):
        if conn is None:
            raw = sockets.socket(sockets.AF_UNIX, sockets.SOCK_STREAM)
            raw.connect(args.socket)
            conn, buf = context.wrap_socket(raw, server_hostname="localhost"), b""
        start = time.perf_counter()
        conn.sendall(request)
        while b"\r\n\r\n" not in buf:
            chunk = conn.recv(65536)
            if not chunk:
                fail(f"{args.socket} closed the connection without an answer")
            buf += chunk
        header, buf = buf.split(b"\r\n\r\n", 1)
        lines = header.lower().split(b"\r\n")
        status = lines[0].split(b" ")[1]
        if status != b"200":
            fail(f"a {status.decode()} answer on {args.socket} {args.path}")
        if need and not any(line.startswith(need) for line in lines):
            fail(f"an answer without {args.need} on {args.socket} {args.path}")
        length = [int(line.split(b":")[1]) for line in lines if line.startswith(b"content-length:")]
        if not length:
            fail(f"an answer without Content-Length on {args.socket} {args.path}")
        while len(buf) < length[0]:
            chunk = conn.recv(65536)
            if not chunk:
                fail(f"{args.socket} closed the connection within an answer")
            buf += chunk
        buf = buf[length[0]:]
        times.append((time.perf_counter() - start) * 1e6)
        if b"connection: close" in lines:  # nginx's keepalive_requests
            conn.close()
            conn = None
    rate = args.n / (time.perf_counter() - began)
    times.sort()
    rank = min(len(times), max(1, -(-len(times) * 99 // 100)))
    print(f"rate {rate:.2f} mean_us {sum(times) / len(times):.1f} p99_us {times[rank - 1]:.1f}")


def cmd_keepalive(args):
    fields = dict(item.split("=", 1) for item in args.fields)
    extra = [int(pid) for pid in args.serving.split(",") if pid] if args.serving else []
    servers = [(name, socket, sorted(set(map(int, socket_pids(socket))) | set(extra)))
               for name, socket in named_sockets(args.servers)]
    rounds = {name: [] for name, _, _ in servers}
    for _ in range(args.rounds):
        for name, socket, pids in servers:
            argv = [sys.executable, os.path.abspath(__file__), "client", "--socket", socket, "--n", str(args.n),
                    "--path", args.path, "--type", args.type]
            argv += ["--body", args.body] if args.body else []
            argv += ["--need", args.need] if args.need else []
            argv += ["--fields", fields[name]] if name in fields else []
            before = serving_seconds(pids)
            status, output, own, busy = run_timed(argv)
            serving = serving_seconds(pids) - before
            if status != 0:
                fail(f"the client failed: {output.strip()}")
            got = dict(re.findall(r"(\w+) ([0-9.]+)", output))
            rounds[name].append((max(busy - own, 0.0) * 1e6 / args.n, serving * 1e6 / args.n,
                                 float(got["rate"]), float(got["mean_us"]), float(got["p99_us"])))
    first = servers[0][0]
    for name, _, _ in servers:
        ordered = sorted(rounds[name], key=lambda r: r[1])
        _, serving, rate, mean, p99 = ordered[len(ordered) // 2]
        cpu = statistics.median(r[0] for r in ordered)
        # Against the first server round by round: the load of the moment,
        # which moves both alike, falls out.
        def paired(k):
            return None if name == first else statistics.median(
                100.0 * (mine[k] - theirs[k]) / theirs[k] for mine, theirs in zip(rounds[name], rounds[first])
                if theirs[k] > 0)
        print(name, f"{rate:.2f}", fmt(mean), fmt(p99), fmt(cpu), fmt(serving),
              fmt(spread([r[0] for r in ordered]), 0), fmt(spread([r[1] for r in ordered]), 0),
              fmt(paired(1)), fmt(paired(0)))


def cmd_floor(args):
    argv = [args.exe, str(args.n)] + args.args
    results = []
    for _ in range(args.rounds):
        status, output, own, busy = run_timed(argv)
        if status != 0:
            fail(f"{args.exe} failed: {output}")
        # The tool is the client half of the exchange: its time counts.
        rate = float(re.search(r"\brate ([0-9.]+)", output).group(1))
        per = float(re.search(r"\bper_exchange_us ([0-9.]+)", output).group(1))
        results.append((busy * 1e6 / args.n, rate, per))
    # The tool's own system calls, less those of starting and ending it.
    counts = []
    for n in (args.n, 1):
        with tempfile.NamedTemporaryFile(mode="r") as out:
            subprocess.run(["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "-o", out.name, args.exe, str(n)]
                           + args.args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
            found = [int(line.split(",")[0]) for line in out if "raw_syscalls:sys_enter" in line
                     and line.split(",")[0].isdigit()]
            counts.append(found[0] if found else None)
    syscalls = None if None in counts or args.n < 2 else (counts[0] - counts[1]) / (args.n - 1)
    ordered = sorted(results)
    cpu, rate, per = ordered[len(ordered) // 2]
    print(f"{rate:.1f}", f"{per:.2f}", fmt(cpu), fmt(syscalls), fmt(spread([r[0] for r in ordered]), 0))


def main():
    parser = argparse.ArgumentParser(description="bench/run's measurements")
    sub = parser.add_subparsers(dest="command", required=True)
    load = sub.add_parser("load")
    load.add_argument("--n", type=int, required=True)
    load.add_argument("--c", type=int, required=True)
    load.add_argument("--path", required=True)
    load.add_argument("--body")
    load.add_argument("--rounds", type=int, default=3)
    load.add_argument("--log", default=tempfile.gettempdir())
    load.add_argument("servers", nargs="+")
    keep = sub.add_parser("keepalive")
    keep.add_argument("--n", type=int, required=True)
    keep.add_argument("--path", required=True)
    keep.add_argument("--body")
    keep.add_argument("--type", default="text/xml", help="the body's Content-Type")
    keep.add_argument("--need", help="a field every answer must carry, e.g. Set-Cookie")
    keep.add_argument("--rounds", type=int, default=3)
    keep.add_argument("--serving", help="more serving processes, PID,...")
    keep.add_argument("--fields", action="append", default=[], help="NAME=FILE: that server's extra request fields")
    keep.add_argument("servers", nargs="+")
    client = sub.add_parser("client")
    for option in ("--socket", "--path", "--body", "--fields", "--need"):
        client.add_argument(option, required=option in ("--socket", "--path"))
    client.add_argument("--type", default="text/xml")
    client.add_argument("--n", type=int, required=True)
    floor = sub.add_parser("floor")
    floor.add_argument("--n", type=int, required=True)
    floor.add_argument("--rounds", type=int, default=3)
    floor.add_argument("exe")
    floor.add_argument("args", nargs="*")
    args = parser.parse_args()
    {"load": cmd_load, "keepalive": cmd_keepalive, "client": cmd_client, "floor": cmd_floor}[args.command](args)


if __name__ == "__main__":
    main()
