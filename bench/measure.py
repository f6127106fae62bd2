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


def h2load(socket, n, c, path, body, log, scheme="http", headers=()):
    """One h2load run; every request must be answered 200. Returns
    (rate, mean_us, p99_us, h2load's CPU seconds, machine busy seconds)."""
    argv = ["h2load", "--h1", "-B", f"unix:{socket}", "-n", str(n), "-c", str(c), f"--log-file={log}"]
    if body:
        argv += ["-d", body, "-H", "Content-Type: text/xml"]
    for header in headers:
        argv += ["-H", header]
    argv.append(f"{scheme}://localhost{path}")
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


def cmd_load(args):
    servers = []
    for server in args.servers:
        try:
            name, socket = server.split("=")
        except ValueError:
            fail(f"not NAME=SOCKET: {server}")
        servers.append((name, socket, socket_pids(socket)))
    log = os.path.join(args.log, "h2load.log")
    rounds = {name: [] for name, _, _ in servers}
    for _ in range(args.rounds):
        for name, socket, _ in servers:
            rate, mean, p99, own, busy = h2load(socket, args.n, args.c, args.path, args.body, log, args.scheme, args.header)
            rounds[name].append((max(busy - own, 0.0) * 1e6 / args.n, rate, mean, p99))
    for name, socket, pids in servers:
        _, count = count_syscalls(pids, lambda: h2load(socket, args.n, args.c, args.path, args.body, log, args.scheme, args.header))
        ordered = sorted(rounds[name])
        cpu, rate, mean, p99 = ordered[len(ordered) // 2]
        syscalls = None if count is None else count / args.n
        print(name, f"{rate:.2f}", fmt(mean), fmt(p99), fmt(cpu), fmt(syscalls), fmt(spread([r[0] for r in ordered]), 0))


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
    load.add_argument("--scheme", default="http", help="https: TLS on the socket")
    load.add_argument("--header", action="append", default=[], help="another request field, e.g. Authorization")
    load.add_argument("--rounds", type=int, default=3)
    load.add_argument("--log", default=tempfile.gettempdir())
    load.add_argument("servers", nargs="+")
    floor = sub.add_parser("floor")
    floor.add_argument("--n", type=int, required=True)
    floor.add_argument("--rounds", type=int, default=3)
    floor.add_argument("exe")
    floor.add_argument("args", nargs="*")
    args = parser.parse_args()
    if args.command == "load":
        cmd_load(args)
    else:
        cmd_floor(args)


if __name__ == "__main__":
    main()
