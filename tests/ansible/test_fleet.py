# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The collection against a fleet of simulated devices (tools/fleet; tests/ansible/run brings up three), in order:
# identities, a save, a set that changes once, dry runs (a diff), a restore that changes once, the refusals,
# the files byte for byte kxr-cli's, the example playbook. Each playbook (beside this file) asserts what it can.
import json, os, re, subprocess
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
INVENTORY = os.environ.get("KXR_FLEET_INVENTORY")
pytestmark = pytest.mark.skipif(not INVENTORY, reason="needs a fleet: run tests/ansible/run as root")
DIR = os.path.join(os.environ.get("KXR_FLEET_DIR", ""), "snapshots")


def play(name, *args):
    """Runs a playbook; its output and each host's recap counts."""
    r = subprocess.run(["ansible-playbook", "-i", INVENTORY, os.path.join(HERE, name), "-e", "dir=" + DIR, *args],
                       capture_output=True, text=True, timeout=300, env=dict(os.environ, ANSIBLE_NOCOLOR="1"))
    recap = dict((host, dict((k, int(v)) for k, v in re.findall(r"(\w+)=(\d+)", counts)))
                 for host, counts in re.findall(r"^(dev\d+) +: (ok=.*)$", r.stdout, re.M))
    assert len(recap) == 3 and all(c["failed"] == c["unreachable"] == 0 for c in recap.values()), r.stdout + r.stderr
    return r.stdout, recap


def changed(recap):
    return sorted(set(c["changed"] for c in recap.values()))


def test_identity_save_set_dry_run_restore():
    os.makedirs(DIR, exist_ok=True)
    play("read.yml", "-e", "expect=0")
    assert changed(play("snapshot.yml", "-e", "state=saved")[1]) == [1]
    assert [changed(play("entry.yml", "-e", "value=500")[1]) for _ in range(2)] == [[1], [0]]
    out, recap = play("entry.yml", "-e", "value=600", "--check", "--diff")
    assert changed(recap) == [1] and out.count("-0x2000:0x01 = u16:500\n+0x2000:0x01 = u16:600\n") == 3
    assert changed(play("snapshot.yml", "-e", "state=restored", "--check")[1]) == [1]
    play("read.yml", "-e", "expect=500")  # neither dry run wrote
    assert [changed(play("snapshot.yml", "-e", "state=restored")[1]) for _ in range(2)] == [[1], [0]]
    play("read.yml", "-e", "expect=0")


def test_refusals_and_kxr_cli_files():
    play("refusals.yml", "-e", "dictionary=" + os.path.join(HERE, "../support/snapshot/sample-dictionary.json"))
    text = open(INVENTORY).read()
    hosts = json.loads(text[text.index("{"):])["all"]["children"]["kxr_devices"]["hosts"]
    for name, host in hosts.items():
        for ours, extra in ((name, []), ("partial-" + name, ["--partial", "--dictionary", os.path.join(
                HERE, "../support/snapshot/sample-dictionary.json")])):
            theirs = os.path.join(DIR, "cli-%s.json" % ours)
            subprocess.run([os.environ["KXR_CLI"], "-u", host["kxr_url"], "--cacert", host["kxr_ca_path"], "--user",
                            "operator", "save", *extra, theirs], env=dict(os.environ, KXR_PASSWORD=host["kxr_password"]),
                           capture_output=True, timeout=60)
            with open(os.path.join(DIR, ours + ".json")) as f, open(theirs) as g:
                mine, cli = f.read(), g.read()
            taken = re.compile(r'"taken": "[^"]*"')  # the same bytes but for the time each was taken
            assert taken.sub(taken.search(mine)[0], cli) == mine, ours


def test_example_playbook():
    example, snapshots = os.path.join(HERE, "../../contrib/ansible/examples/site.yml"), os.path.join(DIR, "example")
    os.makedirs(snapshots, mode=0o700)
    assert changed(play(example, "-e", "snapshots=" + snapshots)[1]) == [2]  # saved, and set
    assert changed(play(example, "-e", "snapshots=" + snapshots, "-e", "restore=true")[1]) == [1]
