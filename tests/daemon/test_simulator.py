# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# kxr-service-sim on its own: it replaces a stale socket, survives malformed messages, removes its socket when
# stopped, starts from the values its dictionary gives and refuses a bad dictionary with the reason.
import json, os, pytest, signal, struct
from pathlib import Path
from conftest import S, dead_socket, entry_answer, exchange


def q(*words): return struct.pack(f"<{len(words)}Q", *words)


HEAD = struct.pack("<HHBBQI", 0, 0x2000, 0, 2, (1 << 64) - 1, 5)  # claims 5 bytes of data
MALFORMED = [b"", q(5), q(1 << 40, 24, 24), q(100) + bytes(30), q(24, 25, 24), q(24, 24, 25),
             q(42, 24, 42) + struct.pack("<H", 9) + bytes(16), q(24, 24, 24)]


def test_simulator_lifecycle_and_malformed_messages(st):
    path = S["service_socket"]
    dead_socket(path)
    sim = st.start_sim()
    for msg in MALFORMED:
        assert exchange(msg, 5, path, True) == b"", msg  # closed unanswered
    assert exchange(q(44, 24, 44) + HEAD + b"ab", 5, path, True) == entry_answer(0xECA60304, b"", 0x2000, 2)
    assert exchange(q(24 + 22, 24, 24) + struct.pack("<HHBBQI", 0, 0x1018, 0, 1, 0, 4) + bytes(4), 5, path) \
        == entry_answer(0, b"\x78\x56\x34\x12", 0x1018, 1)  # still serving
    sim.send_signal(signal.SIGTERM)
    assert sim.wait(5) == 0 and not os.path.exists(path)


# Values as typed into the pages' fields become the entries' bytes; objects are named by their "object" field.
def test_simulator_dictionary_values(st):
    typed = [("i16", 2, "-2", "FEFF"), ("u64", 8, "0x1122334455667788", "8877665544332211"),
             ("i64", 8, "-9223372036854775808", "0000000000000080"), ("text", 4, " ab ", "61620000"),
             ("bytes", 4, "AB*3 cd", "ABABABCD")]
    entries = [dict(GOOD, sub=hex(i), type=t, size=n, value=v, object="Typed") for i, (t, n, v, _) in enumerate(typed)]
    Path("/run/good.json").write_text(json.dumps(entries))
    st.start_sim("/run/good.json")
    for i, (_, n, _, want) in enumerate(typed):
        request = q(24 + 18 + n, 24, 24) + struct.pack("<HHBBQI", 0, 0x3000, 0, i, 0, n) + bytes(n)
        assert exchange(request, 5, S["service_socket"]) == entry_answer(0, bytes.fromhex(want), 0x3000, i), typed[i]
    assert exchange(q(24 + 24 + 8, 24, 36) + struct.pack("<HHQ", 2, 0x3000, 0) + bytes(20), 5, S["service_socket"]) \
        .endswith(struct.pack("<BHBQ", 5, 4, 0, 0) + b"Typed")


GOOD = {"index": "0x3000", "sub": "0x00", "name": "n", "type": "u16", "size": 2, "writable": True, "value": "1"}
BAD = [  # the file's text or entries (None: no file), the reason given
    (None, "cannot open /run/bad.json"), ('[\n {"index": "0x3000",', "bad.json:2: incomplete JSON"), ("{}", "a list"),
    ([{k: v for k, v in GOOD.items() if k != "value"}], 'entry 1: the entry has no "value"'),
    ([dict(GOOD, index="3000")], '"index": "0x"'), ([dict(GOOD, size=2.5)], '"size" is a whole number'),
    ([dict(GOOD, sub="0x100")], '"sub": "0x"'), ([dict(GOOD, type="u24")], '"type": one of'),
    ([dict(GOOD, size=4)], '"size" of a u16 is 2'), ([dict(GOOD, writable="yes")], "true or false"),
    ([dict(GOOD, value="65536")], "out of range 0 to 65535"), ([dict(GOOD, value="-1")], "not a number"),
    ([dict(GOOD, type="i16", value="-32769")], "out of range -32768 to 32767"), ([GOOD, GOOD], "entry 2: the entry"),
    ([dict(GOOD, type="text", size=2, value="abc")], "at most 2 characters"),
    ([dict(GOOD, type="bytes", size=3, value="AB*2")], "exactly 3 bytes wanted, 2 given"),
    ([dict(GOOD, type="bytes", value="ABC")], "hex byte pairs"),
    ([dict(GOOD, object="A"), dict(GOOD, sub="0x1", object="B")], 'named "A" already'),
]


@pytest.mark.parametrize("content,reason", BAD)
def test_simulator_refuses_a_bad_dictionary(st, content, reason):
    if content is not None:
        Path("/run/bad.json").write_text(content if isinstance(content, str) else json.dumps(content))
    assert (sim := st.start_sim("/run/bad.json")).wait(5) == 1
    assert reason in os.pread(sim.log.fileno(), 1 << 16, 0).decode()
