# The daemon against a device-profile service that misbehaves: each call is
# answered with the documented codes, the daemon serves on, and no write is
# reported as done that the service did not confirm.
import struct, time
import pytest
from conftest import (READ, WRITE, SHORT, REFUSED, NO_SERVICE, TIMED_OUT, HANG, call, entry_answer, entry_request, hdr,
                      le32, result)

GOOD = entry_answer(0, b"abcd")
FRAMED = struct.pack("<I", 22)


@pytest.mark.parametrize("answer, want", [
    (GOOD, le32(0, 4) + b"abcd"),
    ([GOOD[:5], GOOD[5:20], GOOD[20:]], le32(0, 4) + b"abcd"),   # in pieces, with pauses
    (GOOD[:20], le32(SHORT, 0)),                                  # closes mid-answer
    (None, le32(SHORT, 0)),                                       # closes without a word
    (entry_answer(0, b"x" * 40), le32(SHORT, 0)),                 # more than asked
    (le32(0xFFFFFFF0) + b"abc", le32(SHORT, 0)),                  # a huge length
    (b"\x13", le32(SHORT, 0)),                                     # a byte
    (le32(0), le32(SHORT, 0)),                                    # only a length
], ids=["good", "paced", "cut", "silent", "more", "huge", "garbage", "length"])
def test_broken_answers(st, daemon, fake, answer, want):
    fake(lambda msg, n: answer)
    for _ in range(2):  # and again: the daemon serves on
        assert result(call(READ, 1, 16, hdr(0x1000, 1, 4))) == want


def test_service_dying_in_a_batch_loses_no_confirmed_write(st, daemon, fake):
    store = {}

    def handler(msg, n):
        if n > 150:
            service.close()  # this request is dropped as the service dies
            return None
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


@pytest.mark.slow
def test_stalled_service_costs_one_bound_per_batch(st, daemon, fake):
    service = fake(lambda msg, n: HANG)
    t0 = time.monotonic()
    words = result(call(WRITE, 3, 12, hdr(0x2000, 1, 2) * 3 + b"ab" * 3), 60)
    assert 9 < time.monotonic() - t0 < 15
    assert words == le32(TIMED_OUT) * 3  # sent, but nothing confirmed it; the rest not sent
    assert len(service.requests) == 1
