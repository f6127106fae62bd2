# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The collection's rules against the other readers': the shared snapshot table, the sample file byte for byte,
# the fewest calls, and entry arguments typed and refused as kxr-cli itself types and refuses them.
import base64, copy, json, os, re, socket, subprocess, sys, tempfile, threading
import pytest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
STAGE = os.environ.get("KXR_ANSIBLE_STAGE") or tempfile.mkdtemp(prefix="kxr-ansible.")
if not os.environ.get("KXR_ANSIBLE_STAGE"):
    subprocess.run([os.path.join(TOP, "contrib/ansible/build"), STAGE], check=True, stdout=subprocess.DEVNULL)
sys.path.insert(0, STAGE)
from ansible_collections.kxr.device.plugins.module_utils.kxr_device import (  # noqa: E402
    Entry, KxrError, parse_read_arg, parse_write_arg, split_batches, typed_value)
from ansible_collections.kxr.device.plugins.module_utils.kxr_snapshot import (  # noqa: E402
    SnapshotError, parse_dictionary, parse_snapshot, snapshot_text)

CLI = os.environ.get("KXR_CLI", os.path.join(TOP, "build/release/src/cli/kxr-cli"))


def load(relative):
    with open(os.path.join(TOP, relative)) as f:
        return f.read()


def test_records_table_and_sample_file():
    # The rows of records.json, as CliSnapshotTest and the node tests take them.
    dictionary = parse_dictionary(load("tests/support/snapshot/sample-dictionary.json"))
    sample = json.loads(load("tests/support/snapshot/sample-snapshot.json"))
    for row in json.loads(load("tests/support/snapshot/records.json")):
        doc = copy.deepcopy(sample)
        for field, value in row.get("top", {}).items():
            doc.pop(field) if value is None else doc.update({field: value})
        entries = doc["entries"] if isinstance(doc.get("entries"), list) else []
        record, faults = row.get("record"), []
        same = [i for i, e in enumerate(entries) if record and (e["index"], e["sub"]) == (record["index"], record["sub"])]
        if same:
            entries[same[0]] = record
        entries += ([record] if record and not same else []) + ([row["add"]] if "add" in row else [])
        try:
            if "dictionary" in row:
                parse_dictionary(json.dumps(row["dictionary"]))
            else:
                parse_snapshot(row.get("text") or json.dumps(doc), dictionary)
        except SnapshotError as e:
            faults = e.faults
        assert (not faults) == row["valid"], (row["why"], faults)
        assert not faults or faults[0].startswith(row.get("fault", "")), (row["why"], faults)
    # The sample file again from its own values: the same bytes as kxr-cli's and the pages'.
    records = dict(((e["index"], e["sub"]), e) for e in sample["entries"])
    outcomes = [(0, bytes.fromhex(r["raw"])) if "raw" in r else (r["code"], b"")
                for r in (records["0x%04X" % d.index, "0x%02X" % d.sub] for d in dictionary)]
    assert snapshot_text(dictionary, outcomes, sample["taken"]) == load("tests/support/snapshot/sample-snapshot.json")


@pytest.mark.parametrize("count, size, reads, writes", [(700, 1, 3, 3), (3, 600000, 3, 3), (4, 300000, 2, 2),
                                                        (300, 3000, 1, 2)])
def test_fewest_calls(count, size, reads, writes):
    entries = [Entry(0x3000 + i, 1, size, data=bytes(size)) for i in range(count)]
    assert (len(split_batches(False, entries)), len(split_batches(True, entries))) == (reads, writes)


class FakeDaemon:
    """A socket that kxr-cli calls: keeps each call's sub-requests and answers them, reads with 1..8 bytes."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.bind(path)
        self.sock.listen()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            conn, _ = self.sock.accept()
            request = b""
            while b"</SOAP-ENV:Envelope>" not in request:
                request += conn.recv(65536)
            write = b"<indexGroup>61569<" in request
            buffer = base64.b64decode(re.search(rb"<pwrData>([^<]*)<", request)[1])
            count = int(re.search(rb"<indexOffset>(\d+)<", request)[1])
            self.headers = [buffer[12 * i:12 * i + 12] for i in range(count)]
            self.data = buffer[12 * count:]
            data = [bytes(range(1, 1 + min(8, int.from_bytes(h[8:], "little")))) for h in self.headers]
            result = bytes(4 * count) if write else b"".join(
                bytes(4) + len(d).to_bytes(4, "little") for d in data) + b"".join(data)
            body = ("<ReadWriteResponse><ppRdData>%s</ppRdData></ReadWriteResponse>" % base64.b64encode(result).decode())
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body.encode()))
            conn.close()


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("cli") / "web0")
    return path, FakeDaemon(path)


@pytest.mark.parametrize("command, arg", [("write", a) for a in (
    "0x2000:1=u16:0x1234", "8192:1=u8:255", "0x2000:01=u8:1", "0x2000:1=u16:65536", "0x2000:1=i8:-128",
    "0x2000:1=i8:-129", "0x2000:1=i64:-9223372036854775808", "0x2000:1=u64:18446744073709551615",
    "0x2000:1=u64:18446744073709551616", "0x2000:1=u16:100A", "0x2000:1=u16:012", "0x2000:1=u16:0x", "0x2000:1=u16:-1",
    "0x2000:1=u16:", "0X2000:1=u8:0X1f", "0x2000:1=hex:34 12", "0x2000:1=hex:34:12-ab", "0x2000:1=hex:3 4",
    "0x2000:1=hex:3g", "0x2000:1=hex:", "0x2000:1=text:a b", "0x2000:1=text:", "0x2000:1=abc", "0x2000:1=f32:1",
    "0x2000=u8:1", "0x10000:1=u8:1", "0x2000:256=u8:1", "0x2000:1", "0x2000:1:2=u8:1")] + [("read", a) for a in (
    "0x1018:1", "0x1018:1:u32", "0x1018:1:2", "0x1018:1:8:i64", "0x1008:0:text", "0x1018:1:ff", "0x1018:1:f32",
    "0x1018:1:0", "0x1018:1:1048577", "4120:1:u16", "0x1018", "0x1018:1:2:3", "0x1018:1:i8", "0x1018:text")])
def test_typed_as_kxr_cli_types(daemon, command, arg):
    r = subprocess.run([CLI, "--json", "-s", daemon[0], command, arg], capture_output=True, text=True, timeout=30)
    answer = json.loads(r.stdout)
    try:
        ours = (parse_write_arg if command == "write" else parse_read_arg)(arg)
    except KxrError as e:
        assert answer == {"error": str(e)}
        return
    assert r.returncode == 0, answer
    header = daemon[1].headers[0]
    assert (ours.sub, ours.index, ours.length) == (header[4], int.from_bytes(header[6:8], "little"),
                                                  int.from_bytes(header[8:], "little"))
    if command == "write":
        assert ours.data == daemon[1].data
    else:
        got = answer["entries"][0]
        assert str(typed_value(ours.kind, bytes.fromhex(got["bytes"]))) == str(got.get("value"))  # past 2**53 a string
