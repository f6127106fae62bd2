# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# kxr-cli save and restore against the simulator through the daemon (and nginx): a round trip, a refused write, bad
# files that write nothing, read-only entries left alone (the fewest calls: CliBatch).
import copy, json, os, re, subprocess
import pytest
from conftest import S, dead_socket

SOURCE = os.path.join(os.path.dirname(__file__), "..", "..")
WWW = json.load(open(os.path.join(SOURCE, "contrib", "www", "dictionary.json")))


@pytest.fixture
def device(st, monkeypatch):
    """Simulator, verbose daemon and nginx on a dictionary; returns kxr-cli's arguments for nginx, as the operator."""
    def start(entries=WWW):
        text = json.dumps(entries, indent=1)
        with open(f"{st.work}/sim-dictionary.json", "w") as f:
            f.write(text)
        st.put("dictionary.json", text)
        st.start_sim(f"{st.work}/sim-dictionary.json")
        st.site_users()
        assert st.start_daemon(args=("-nofork", "-v")).ready
        st.syslog.clear()
        if not os.access("/usr/sbin/nginx", os.X_OK):
            return []
        st.start_nginx()
        monkeypatch.setenv("KXR_PASSWORD", st.users["operator"])
        return ["-u", f"https://127.0.0.1:{st.nginx_port}/config/", "--cacert", st.cacert, "--user", "operator"]
    return start


def cli(*args, stdin=None):
    r = subprocess.run([S["cli"], *args], capture_output=True, text=True, timeout=120, input=stdin)
    return r.returncode, r.stdout, r.stderr


def calls(st):  # service calls and file requests the daemon has served since the last look
    targets = [r[4] for r in st.syslog.lines() if r[4].startswith("process_request: file: ")]
    st.syslog.clear()
    return sum("KxrWebService" in t for t in targets), sum("KxrWebService" not in t for t in targets)


def sim_accesses(st, kind):  # the simulator's log lines of one kind of access ("read", "write")
    return re.findall(rf"^kxr-service-sim: {kind} (\S+),", open(f"{st.work}/sim.log").read(), re.M)


def edit(path, changes, added=()):  # sets records' raw bytes ({"0x2000:0x01": "3412"}), their value dropped; adds
    snap = json.load(open(path))
    snap["entries"] += added
    for r in snap["entries"]:
        if (key := f"{r['index']}:{r['sub']}") in changes:
            r.pop("value", None)
            r["raw"] = changes[key]
    with open(path, "w") as f:
        json.dump(snap, f, indent=2)


def test_round_trip_and_a_refused_write(st, device, tmp_path):
    # Three entries changed on the device and one in the file, whose write the device refuses: exit status 1.
    entries = copy.deepcopy(WWW)
    next(e for e in entries if (e["index"], e["sub"]) == ("0x2000", "0x02"))["refuseWrite"] = "0xECA60304"
    args = device(entries)
    saved = str(tmp_path / "saved.json")
    assert cli(*args, "save", saved) == (0, f"saved {len(WWW)} entries to {saved} in 1 call, 0 failed\n", "")
    assert os.listdir(tmp_path) == ["saved.json"]  # no temporary file left
    first = json.load(open(saved))
    edit(saved, {"0x2000:0x02": "e8030000"})
    assert cli("write", "0x2000:1=u16:0x1234", "0x2000:3=u8:7", "0x2100:0=hex:" + "ab" * 16)[0] == 0
    code, out, err = cli(*args, "restore", saved)
    assert (code, err) == (1, ""), out
    assert "plan: 4 to change, 12 unchanged, 0 read-only differ, 0 unknown to the device, 0 skipped\n" in out
    assert "  change     0x2000:0x01  Settings: cycle time: 4660 -> 0\n" in out
    assert out.endswith("0x2000:0x01  written and verified\n0x2000:0x02  write failed: 0xECA60304 Malformed entry "
                        "access\n0x2000:0x03  written and verified\n0x2100:0x00  written and verified\nrestore: 3 "
                        "written and verified, 1 write failed, 0 verify mismatch, 0 skipped, 12 unchanged\n")
    assert sim_accesses(st, "write")[-4:] == ["2000:01", "2000:02", "2000:03", "2100:00"]
    code, again, err = cli("save")  # to standard output
    assert (code, err) == (0, f"saved {len(WWW)} entries to standard output in 1 call, 0 failed\n")
    assert json.loads(again)["entries"] == first["entries"]
    js = json.loads(cli("--json", "restore", saved)[1])
    assert [r["result"] for r in js["report"]] == ["write failed"] and js["report"][0]["code"] == 0xECA60304


SAMPLE = os.path.join(SOURCE, "tests", "support", "snapshot", "sample-snapshot.json")


@pytest.mark.parametrize("left, said", [(False, "fault 0xECA60201"), (True, "0xECA60200")])
def test_a_failed_save_leaves_the_old_file(st, tmp_path, left, said):
    """No service, or its socket left behind: FILE keeps what it held (--partial: CliSaveRestoreTest); a FILE that
    cannot be written is found before anything is read."""
    st.put("dictionary.json", json.dumps(WWW))
    if left:
        dead_socket(st.s["service_socket"])
    assert st.start_daemon().ready
    (tmp_path / "kept.json").write_text("old")
    code, out, err = cli("save", str(tmp_path / "kept.json"))
    assert (code, out) == (1, "") and said in err, err
    assert os.listdir(tmp_path) == ["kept.json"] and (tmp_path / "kept.json").read_text() == "old"
    code, out, err = cli("save", str(tmp_path / "missing" / "x.json"))
    assert (code, out) == (2, "") and "cannot write" in err, err


# A file with a fault, refused before anything is read or written (exit status 2): the file alone, the file
# against the device's dictionary, no file. Every fault of a file and its message: CliSnapshotTest.
@pytest.mark.parametrize("change, message", [
    (lambda s: s.replace('"version": 1', '"version": 2'), "snapshot version 2 is newer than this reader (1)"),
    (lambda s: s.replace('"type": "u16"', '"type": "i16"', 1), "0x2000:0x01: type i16 differs from the device's u16"),
    (None, "cannot read"),
])
def test_a_bad_file_writes_nothing(st, device, tmp_path, change, message):
    device()
    path = str(tmp_path / "bad.json")
    if change:
        with open(path, "w") as f:
            f.write(change(open(SAMPLE).read()))
    code, out, err = cli("restore", path)
    assert (code, out) == (2, "") and message in err, err
    assert sim_accesses(st, "read") == [] and sim_accesses(st, "write") == []
    assert calls(st) == (0, 0 if change is None else 1)  # at most the dictionary was fetched
    assert message in json.loads(cli("--json", "restore", path, "--dry-run")[1])["error"]


def test_the_sample_then_read_only_entries_that_differ_are_reported_never_written(st, device, tmp_path):
    """The sample dictionary saved --partial from the simulator is the sample file (one entry lacking: status 1);
    restored after changes, the read-only entries that differ are reported, not written."""
    device()
    path = str(tmp_path / "snap.json")
    assert cli("save", "--partial", "--dictionary", SAMPLE.replace("sample-snapshot", "sample-dictionary"), path) == (
        1, f"0x7777:0x01  0xECA60301 No such object or sub-index\nsaved 17 entries to {path} in 1 call, 1 failed "
        "(marked partial)\n", "")
    assert re.sub(r'"taken": "[^"]*"', '"taken": "2026-12-07T10:30:00Z"', open(path).read()) == open(SAMPLE).read()
    edit(path, {"0x6000:0x02": "00", "0x1008:0x00": "4f54484552000000", "0x2000:0x01": "0100"},
         [{"index": "0x5555", "sub": "0x00", "name": "Elsewhere", "type": "u8", "size": 1, "raw": "01"}])
    code, out, err = cli("restore", "--dry-run", path)
    assert (code, err) == (0, "") and out.endswith("dry run: nothing written\n"), out
    assert "plan: 1 to change, 13 unchanged, 2 read-only differ, 1 unknown to the device, 1 skipped\n" in out
    assert "  read-only  0x6000:0x02  Inputs 2: 255 -> 0  (read-only: not written)\n" in out
    assert "  read-only  0x1008:0x00  Device name: KXR-SIM -> OTHER  (read-only: not written)\n" in out
    assert "  skipped    0x7777:0x01  Absent entry  (not read at save: 0xECA60301 No such object or sub-index)\n" in out
    assert sim_accesses(st, "write") == []
    code, out, err = cli("restore", path)
    assert (code, err) == (0, ""), out
    assert ("0x1008:0x00  skipped: read-only\n0x2000:0x01  written and verified\n0x6000:0x02  skipped: read-only\n"
            "0x7777:0x01  skipped: not read at save\n0x5555:0x00  skipped: unknown to the device\n") in out
    assert sim_accesses(st, "write") == ["2000:01"]
