# kxr-service-sim on its own: it replaces a stale socket, survives malformed
# messages, refuses a bad dictionary and removes its socket when stopped.
import os, signal, struct
from conftest import S, dead_socket, entry_answer, exchange


def q(*words):
    return b"".join(struct.pack("<Q", w) for w in words)


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


def test_simulator_refuses_a_bad_dictionary(st):
    with open("/run/bad.txt", "w") as f:
        f.write("entry 1000 00 ro 01\nentry 1000 01 xx 02\n")
    sim = st.start_sim("/run/bad.txt")
    assert sim.wait(5) == 1
