# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# The daemon against a failing device-profile service: no write reported as done that the service did not confirm,
# and bounded batch times. (Broken answers: the client's unit tests; a stalled service: the engine's.)
import struct, time
import pytest
from conftest import (EP, connect, dead_socket, parse, post, read_all, response_doc, READ, WRITE, SHORT, REFUSED, NO_SERVICE,
                      TIMED_OUT, call, entry_answer, entry_request, hdr, le32, result)


def test_service_dying_in_a_batch_loses_no_confirmed_write(st, daemon, fake):
    store = {}

    def handler(msg, n):
        if n > 150:
            return service.close()  # this request is dropped as the service dies
        index, sub, data = entry_request(msg)
        store[index, sub] = data
        return entry_answer(0, b"", index, sub)
    service = fake(handler)
    heads = b"".join(hdr(0x3000 + i // 256, i % 256, 1) for i in range(300))
    data = bytes(65 + i % 26 for i in range(300))
    words = struct.unpack("<300I", result(call(WRITE, 300, 1200, heads + data), 60))
    for i, word in enumerate(words):
        stored = store.get((0x3000 + i // 256, i % 256))
        if word == 0:
            assert stored == data[i:i + 1], i
        else:
            assert stored is None, f"sub-request {i} was written but reported as failed"
            assert word in (SHORT, REFUSED, NO_SERVICE) or word >> 16 == 0xECA7, hex(word)
    assert words.count(0) == 150


def test_refusing_service_costs_one_round_of_attempts_per_batch(st, daemon):
    dead_socket(st.s["service_socket"])  # killed, its socket file left behind
    for request, words in [(call(READ, 30, 240, hdr(0x1000, 1, 4) * 30), le32(REFUSED, 0) * 30),
                           (call(WRITE, 30, 120, hdr(0x1000, 1, 1) * 30 + b"a" * 30), le32(REFUSED) * 30)]:
        t0 = time.monotonic()
        assert result(request, 60) == words
        assert time.monotonic() - t0 < 3  # about 0.9 s, not 0.9 s a sub-request


@pytest.mark.slow
def test_slow_service_batch_ends_at_the_connection_deadline(st, daemon, fake):
    st.put("small.htm", b"s" * 32)
    big, ended = bytes(range(256)) * 160, []  # 40 KiB an entry: the late batch's answer does not fit one send

    def handler(msg, n):  # each exchange within its bound; the late batch's last one begun before its cut, ended after
        late = entry_request(msg)[0] == 0x2000
        time.sleep(min(9, ta + 118 - time.monotonic()) if late and time.monotonic() < ta + 118 else 9)
        ended.append(time.monotonic()) if late else None
        return entry_answer(0, big if late else b"abcd")
    service = fake(handler)
    ta = time.monotonic()
    waiting, late = connect(), connect()  # accepted before the batch; their requests complete while it runs
    waiting.sendall(b"GET /small.htm HTTP/1.1\r\nHost: x\r\n")
    late.sendall((request := post(EP, call(READ, 10, 10 * (8 + len(big)), hdr(0x2000, 1, len(big)) * 10)))[:20])
    time.sleep(0.2)
    t0 = time.monotonic()
    batch = connect()
    batch.sendall(post(EP, call(READ, 8, 96, hdr(0x1000, 1, 4) * 8)))
    time.sleep(1)
    waiting.sendall(b"\r\n")
    late.sendall(request[20:])
    answer = parse(read_all(batch, 90))
    assert 60 < time.monotonic() - t0 < 66  # seven exchanges begun within 60 s, the eighth not sent
    assert answer[2] == response_doc(le32(0, 4) * 7 + le32(TIMED_OUT, 0) + b"abcd" * 7)
    assert sum(entry_request(m)[0] == 0x1000 for m in service.requests) == 7
    raw = read_all(waiting, 80)
    assert raw.endswith(b"\r\n\r\n" + b"s" * 32), raw  # its whole answer, not cut after the header
    # The late batch ran to its cut, 120 s after its accept: its answer, which waits for room in the socket, has
    # a deadline of its own.
    while (not ended or ended[-1] < ta + 121) and time.monotonic() < ta + 140:
        time.sleep(0.2)
    time.sleep(1)  # unread meanwhile: the answer fills the socket and waits
    assert ended[-1] > ta + 121 and (n := len(ended)) < 10
    assert parse(read_all(late, 30))[2] == response_doc(le32(0, len(big)) * n + le32(TIMED_OUT, 0) * (10 - n) + big * n)
