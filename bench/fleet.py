#!/usr/bin/python3
# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
"""Times the Ansible collection against fleets of simulated devices (tools/fleet):
for each COUNT, a playbook that saves every device's configuration
(kxr_snapshot) and one that sets one entry on every device (kxr_entry, a new
value each round, so that every run writes), each with Ansible's default forks
(5) and with forks equal to the count, and Ansible's ping module on the same
hosts for the controller's cost of any module. Beside the wall time it takes the
controller's CPU time (ansible-playbook and everything it started) and the
devices' (the fleet's simulators, daemons and nginx, from /proc), so
that the table shows what dominates. As root; not part of CI.

  bench/fleet.py [--build DIR] [--counts 10,50] [--rounds 2] [--out FILE]

Uses the release build as it is (build it first) and builds the collection
into a temporary folder. Prints a Markdown table and writes it to FILE
(default BUILD/fleet-results.md).
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
PLAYS = {  # ping: Ansible's own smallest module on the same hosts, no device involved: the controller's floor
    "ping": "- hosts: kxr_devices\n  gather_facts: false\n  tasks:\n    - ansible.builtin.ping:\n",
    "save": "- hosts: kxr_devices\n  gather_facts: false\n  tasks:\n    - kxr.device.kxr_snapshot:\n"
            "        state: saved\n        path: \"{{ dir }}/{{ inventory_hostname }}.json\"\n",
    "set": "- hosts: kxr_devices\n  gather_facts: false\n  tasks:\n    - kxr.device.kxr_entry:\n"
           "        entries: [\"0x2000:1=u16:{{ value }}\"]\n",
}
DEVICE_PROGRAMS = ("KXRWebServer", "kxr-service-sim", "nginx")


def device_cpu():
    """CPU seconds used so far by the fleet's simulators, daemons and nginx processes (those below tools/fleet),
    from the scheduler's own count: a device's short bursts fall between the ticks that /proc/PID/stat counts."""
    parents, names = {}, {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                name, rest = f.read().rsplit(")", 1)
        except OSError:
            continue
        parents[int(pid)], names[int(pid)] = int(rest.split()[1]), name.split("(", 1)[1]
    fleet, total = {os.getppid()}, 0
    for _ in range(4):  # tools/fleet, stack.py, the device's programs, nginx's worker
        fleet |= {pid for pid, parent in parents.items() if parent in fleet}
    for pid in (pid for pid in fleet if names.get(pid) in DEVICE_PROGRAMS):
        try:
            for task in os.listdir("/proc/%d/task" % pid):
                with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                    total += int(f.read().split()[0])
        except OSError:
            pass  # ended meanwhile
    return total / 1e9


def inside(out, rounds):
    """Runs inside tools/fleet: every playbook with both fork counts, rounds times; appends rows to out."""
    inventory, count = os.environ["KXR_FLEET_INVENTORY"], 0
    with open(inventory) as f:
        text = f.read()
        count = len(json.loads(text[text.index("{"):])["all"]["children"]["kxr_devices"]["hosts"])
    work = os.environ["KXR_FLEET_DIR"]
    rows, value = [], 0
    for play, text in PLAYS.items():
        path = os.path.join(work, play + ".yml")
        with open(path, "w") as f:
            f.write(text)
        for forks in sorted({5, count}):
            for _ in range(rounds):
                value += 1
                before, cpu, start = resource.getrusage(resource.RUSAGE_CHILDREN), device_cpu(), time.monotonic()
                done = subprocess.run(["ansible-playbook", "-i", inventory, path, "-f", str(forks), "-e", "dir=" + work,
                                       "-e", "value=%d" % value], stdout=subprocess.PIPE, universal_newlines=True)
                wall, after = time.monotonic() - start, resource.getrusage(resource.RUSAGE_CHILDREN)
                if done.returncode or "failed=0" not in done.stdout or "failed=1" in done.stdout:
                    sys.exit(done.stdout)
                rows.append(dict(count=count, play=play, forks=forks, wall=wall, device=device_cpu() - cpu,
                                 controller=after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime))
    with open(out, "a") as f:
        for row in rows:
            f.write(json.dumps(row) + "\n")


def main(argv):
    if argv[:1] == ["--inside"]:
        return inside(argv[1], int(argv[2]))
    p = argparse.ArgumentParser(description="Times the collection against fleets; see the top of this file.")
    p.add_argument("--build", default=os.path.join(TOP, "build/release"))
    p.add_argument("--counts", default="10,50")
    p.add_argument("--rounds", type=int, default=2)
    p.add_argument("--out")
    a = p.parse_args(argv)
    build = os.path.abspath(a.build)
    with tempfile.TemporaryDirectory(prefix="kxr-bench-fleet.") as work:
        tarball = subprocess.run([os.path.join(TOP, "contrib/ansible/build"), os.path.join(work, "stage")],
                                 stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()
        os.environ["ANSIBLE_COLLECTIONS_PATH"] = os.path.join(work, "collections")
        subprocess.run(["ansible-galaxy", "collection", "install", "-p", os.environ["ANSIBLE_COLLECTIONS_PATH"],
                        tarball], stdout=subprocess.DEVNULL, check=True)
        results = os.path.join(work, "rows.jsonl")
        for count in (int(c) for c in a.counts.split(",")):
            subprocess.run([sys.executable, os.path.join(TOP, "tools/fleet"), build, str(count), "--",
                            sys.executable, os.path.abspath(__file__), "--inside", results, str(a.rounds)], check=True)
        with open(results) as f:
            rows = [json.loads(line) for line in f]
    table = ["| devices | playbook | forks | wall s | per device ms | controller CPU s | devices' CPU s |",
             "|---:|---|---:|---:|---:|---:|---:|"]
    for row in rows:
        table.append("| %d | %s | %d | %.1f | %.0f | %.1f | %.2f |" % (
            row["count"], row["play"], row["forks"], row["wall"], 1000 * row["wall"] / row["count"],
            row["controller"], row["device"]))
    text = "\n".join(table) + "\n"
    print(text, end="")
    with open(a.out or os.path.join(build, "fleet-results.md"), "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
