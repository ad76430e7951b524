"""Events and slow data across a real link: every kind, plain and converting,
both directions; the gather list from every kind of buffer; views and
copies; acknowledgement against a ring buffer; batches both ways."""

import numpy as np
import pytest

import tarvex
from conftest import in_thread

# (send helper, generation, header keywords, pattern, header size)
KINDS = [
    ("send_event", "legacy", dict(number=3, type=tarvex.EV_BOR, time=(17, 18), tmask=-5, status=7, num_svr_block=2),
     tarvex.PATTERN_LEGACY, 36),
    ("send_event", "2010", dict(number=0xFFFFFFFF, type=tarvex.EV_NORMAL, time=(1, 2**32 - 1), tmask=1, status=-1,
                                num_svr_block=9), tarvex.PATTERN_2010, 36),
    ("send_event", "2024", dict(number=2**40 + 5, type=tarvex.EV_EOR, time=(3, 4), tmask=2, status=3, num_svr_block=4,
                                alignment=0), tarvex.PATTERN_2024, 48),
    ("send_slow", "legacy", dict(channels=6), tarvex.PATTERN_SLOW, 12),
    ("send_slow", "2024", dict(channels=6), tarvex.PATTERN_SLOW_2024, 12),
]
KIND_IDS = [f"{k[0][5:]}-{k[1]}" for k in KINDS]


def body_words(seed, count=6):
    # 32-bit words, as converting links treat bodies; distinct bytes in each
    # word show a conversion that went wrong.
    return (np.arange(count, dtype=np.uint32) * 0x01010101 + 0x00010203 + seed).astype(np.uint32)


@pytest.mark.parametrize("direction", ["to_acceptor", "to_connector"])
@pytest.mark.parametrize("helper,generation,fields,pattern,header_size", KINDS, ids=KIND_IDS)
def test_every_kind_arrives_whole(any_pair, direction, helper, generation, fields, pattern, header_size):
    accepting, connecting = any_pair
    sender, receiver = (connecting, accepting) if direction == "to_acceptor" else (accepting, connecting)
    body = body_words(header_size)
    getattr(sender, helper)(body, generation=generation, **fields)

    rec = receiver.receive(timeout=10)
    assert rec is not None
    assert rec.pattern == pattern
    assert rec.kind == ("event" if helper == "send_event" else "slow")
    assert rec.generation == generation
    assert rec.header_size == header_size
    assert rec.length == len(rec) == header_size + body.nbytes
    for name, value in fields.items():
        assert getattr(rec, name) == value, name
    assert np.array_equal(rec.body.view(np.uint32), body)
    assert bytes(rec.raw[:header_size]) == rec.header


def test_fields_a_kind_does_not_have_read_none(pair):
    accepting, connecting = pair
    connecting.send_slow(b"abcdefgh")
    rec = accepting.receive(timeout=10)
    assert rec.channels == 2 and rec.number is None and rec.time is None
    connecting.send_event(b"abcd")
    rec = accepting.receive(timeout=10)
    assert rec.channels is None and rec.type == tarvex.EV_NORMAL and rec.number == 0


def test_gather_list_from_every_kind_of_buffer(any_pair):
    accepting, connecting = any_pair
    words = np.arange(4, dtype=np.uint32)
    pieces = [b"\x01\x02\x03\x04", bytearray(b"\x05\x06\x07\x08"), memoryview(b"\x09\x0a\x0b\x0c"), words,
              np.arange(6, dtype=np.uint16)[::1]]
    expected = b"".join(bytes(p) for p in pieces)
    connecting.send_event(pieces, number=1)
    header = tarvex.event_header(len(expected), number=2)
    connecting.send(header, *pieces)
    connecting.send(header[:], pieces[0], pieces[1:])  # lists nest one level
    for number in (1, 2, 2):
        rec = accepting.receive(timeout=10)
        assert rec.number == number and bytes(rec.body) == expected


def test_buffers_must_be_contiguous(pair):
    _, connecting = pair
    with pytest.raises((BufferError, ValueError), match="contiguous"):
        connecting.send_event(np.arange(8, dtype=np.uint32)[::2])
    with pytest.raises(TypeError):
        connecting.send_event("text is not a buffer")


def test_unknown_header_size_is_the_library_protocol_status(pair):
    _, connecting = pair
    with pytest.raises(tarvex.Error) as e:
        connecting.send(b"\0" * 20, b"body")
    assert e.value.code == tarvex.ERR_PROTOCOL


def test_kept_bodies_stay_as_they_were(pair):
    """Bodies kept across later receives keep their bytes: records of one size
    (which the link would store into one array), a 60 MiB record, and small
    records after it (which used to free the large array under a kept view).
    Behind every kept record comes one that is dropped at once, so that
    arrays are handed back and used again meanwhile."""
    accepting, connecting = pair
    rng = np.random.default_rng(16)
    small = [rng.integers(0, 256, 64, dtype=np.uint8) for _ in range(6)]
    payloads = small[:3] + [rng.integers(0, 256, 60 * 2**20, dtype=np.uint8)] + small[3:]

    def send_all():
        for i, p in enumerate(payloads):
            connecting.send_event(p, number=i)
            connecting.send_event(np.full(len(p), 0xEE, np.uint8), number=1000 + i)

    sending = in_thread(send_all)
    kept = []
    for i in range(len(payloads)):
        rec = accepting.receive(timeout=30)
        assert rec.number == i
        kept.append(rec.body)  # the array alone: the record itself is dropped
        assert accepting.receive(timeout=30).number == 1000 + i
    sending.join()
    connecting.send_event(b"after", number=99)
    assert accepting.receive(timeout=10).number == 99
    for body, p in zip(kept, payloads):
        assert body.nbytes == p.nbytes and np.array_equal(body, p)
    assert all(body.base is not None for body in kept)  # views, not copies


def test_records_own_their_bytes_without_a_copy(pair):
    accepting, connecting = pair
    for i in range(3):
        connecting.send_event(bytes([i]) * 64, number=i)
    first = accepting.receive(timeout=10)
    assert first.body.ctypes.data == first.raw.ctypes.data + first.header_size
    assert not first.body.flags.writeable and first.valid
    address = first.raw.ctypes.data
    kept = first.copy()
    del first
    # A record nobody holds lends its array to the next: nothing is allocated.
    second = accepting.receive(timeout=10)
    assert second.raw.ctypes.data == address and bytes(second.body) == b"\x01" * 64
    third = accepting.receive(timeout=10)
    assert bytes(second.body) == b"\x01" * 64 and bytes(third.body) == b"\x02" * 64
    assert bytes(kept.body) == b"\x00" * 64 and kept.number == 0
    assert bytes(second) == bytes(second.raw) and second.valid
    assert accepting.receive(timeout=0.05) is None and bytes(third.body) == b"\x02" * 64


def test_record_round_trips_through_bytes():
    raw = tarvex.event_header(4, generation="2024", number=12) + b"wxyz"
    rec = tarvex.Record.from_bytes(raw)
    assert rec.number == 12 and rec.generation == "2024" and bytes(rec) == raw
    with pytest.raises(ValueError, match="length"):
        tarvex.Record.from_bytes(raw + b"!")
    with pytest.raises(ValueError, match="pattern"):
        tarvex.Record.from_bytes(b"\0" * 40)


HEADER_CASES = [
    (tarvex.event_header, {}, 36),
    (tarvex.event_header, {"generation": "legacy"}, 36),
    (tarvex.event_header, {"generation": "2024"}, 48),
    (tarvex.slow_header, {}, 12),
    (tarvex.slow_header, {"generation": "2024"}, 12),
    (tarvex.image_intro, {}, 108),
    (tarvex.spectrum_intro, {}, 56),
]


@pytest.mark.parametrize("build,options,size", HEADER_CASES)
def test_header_builders(build, options, size):
    header = build(100, **options)
    assert len(header) == size
    length = int.from_bytes(header[8:16], "little") if size == 48 else int.from_bytes(header[4:8], "little")
    assert length == size + 100
    with pytest.raises(TypeError, match="no_such_field"):
        build(0, no_such_field=1, **options)


def test_header_builders_check_values():
    with pytest.raises(ValueError, match="out of range"):
        tarvex.event_header(number=2**32)
    with pytest.raises(ValueError, match="out of range"):
        tarvex.event_header(tmask=2**31)
    with pytest.raises(ValueError, match="out of range"):
        tarvex.slow_header(channels=-1)
    with pytest.raises(TypeError):
        tarvex.event_header(time=5)
    with pytest.raises(ValueError, match="generation"):
        tarvex.slow_header(generation="2010")
    assert tarvex.event_header(generation="2024", number=2**64 - 1)[16:24] == b"\xff" * 8
    assert tarvex.slow_header(8)[8:12] == (2).to_bytes(4, "little")


def test_acknowledged_send_against_a_ring_buffer(any_pair):
    accepting, connecting = any_pair
    ring = tarvex.RingBuffer(100)
    body = body_words(1, 10)  # 36 + 40 = 76 bytes: fits once, not twice

    sending = in_thread(connecting.send_event, body, number=1, ack=True)
    rec = accepting.receive(ring, timeout=10)
    sending.join()
    assert ring.write(rec)
    assert len(ring) == 1 and ring.used == 76 and ring.free == 24

    sending = in_thread(connecting.send_event, body, number=2, ack=True)
    with pytest.raises(tarvex.Error) as refused:
        accepting.receive(ring, timeout=10)
    assert refused.value.code == tarvex.ERR_NO_SPACE
    with pytest.raises(tarvex.Error) as told:
        sending.join()
    assert told.value.code == tarvex.ERR_NO_SPACE

    stored = ring.read_record()
    assert stored.number == 1 and np.array_equal(stored.body.view(np.uint32), body)
    assert ring.read_record() is None and len(ring) == 0

    sending = in_thread(connecting.send_slow, body, ack=True)
    accepting.receive(ring, timeout=10)
    sending.join()
    accepting.write_to_ring(ring)
    raw = ring.read()
    assert raw.dtype == np.uint8 and len(raw) == 52 and ring.read() is None
    assert accepting.receive(timeout=0.05) is None
    with pytest.raises(tarvex.Error) as nothing:
        accepting.write_to_ring(ring)  # the last receive took no record
    assert nothing.value.code == tarvex.ERR_NO_BUFFER


def test_a_refused_acknowledged_send_counts_a_no_room_answer(pair):
    accepting, connecting = pair
    sending = in_thread(connecting.send_event, bytes(64), ack=True)
    with pytest.raises(tarvex.Error):
        accepting.receive(tarvex.RingBuffer(10), timeout=10)
    with pytest.raises(tarvex.Error):
        sending.join()
    assert connecting.no_room_answers == 1 and accepting.no_room_answers == 0


def test_ring_buffer_alone():
    ring = tarvex.RingBuffer(64)
    assert (ring.capacity, ring.used, ring.free, len(ring), ring.next_size) == (64, 0, 64, 0, 0)
    assert ring.write(b"a" * 40) and not ring.write(b"b" * 25) and ring.write(b"c" * 24)
    assert not ring.write(b"")
    assert ring.next_size == 40 and len(ring) == 2
    assert bytes(ring.read()) == b"a" * 40 and bytes(ring.read()) == b"c" * 24
    with pytest.raises(ValueError):
        ring.write(b"no record")
        ring.read_record()


def records_for_batch(count):
    return [tarvex.event_header(8, number=i) + i.to_bytes(8, "little") for i in range(count)]


def test_batch_send_in_every_form(any_pair):
    accepting, connecting = any_pair
    whole = records_for_batch(6)
    assert connecting.send_batch(whole) == 6
    assert connecting.send_batch(b"".join(whole)) == 6
    assert connecting.send_batch(np.frombuffer(b"".join(whole), np.uint8).reshape(6, -1)) == 6
    gathered = [(tarvex.slow_header(8), np.array([i, i], np.uint32)) for i in range(3)]
    assert connecting.send_batch(gathered) == 3
    assert connecting.send_batch([]) == 0
    for _ in range(3):
        assert [accepting.receive(timeout=10).number for _ in range(6)] == list(range(6))
    for i in range(3):
        rec = accepting.receive(timeout=10)
        assert rec.kind == "slow" and np.array_equal(rec.body.view(np.uint32), [i, i])


def test_batch_of_received_records_forwards_them(pair):
    accepting, connecting = pair
    connecting.send_batch(records_for_batch(3))
    kept = [accepting.receive(timeout=10).copy() for _ in range(3)]
    assert accepting.send_batch(kept) == 3
    assert [connecting.receive(timeout=10).number for _ in range(3)] == [0, 1, 2]


def test_malformed_batch_sends_nothing(pair):
    accepting, connecting = pair
    good = records_for_batch(2)
    with pytest.raises(ValueError, match="record 1"):
        connecting.send_batch([good[0], b"\0" * 44])
    with pytest.raises(ValueError, match="byte 88"):
        connecting.send_batch(b"".join(good) + b"\xdd\xff\xee\xff")
    with pytest.raises(ValueError, match="length"):
        connecting.send_batch([good[0] + b"extra"])
    with pytest.raises(TypeError, match="record 0"):
        connecting.send_batch([42])
    assert accepting.receive(timeout=0.2) is None


def test_refused_batch_tells_what_went_out(pair):
    accepting, connecting = pair
    good = records_for_batch(2)
    with pytest.raises(tarvex.Error) as e:
        connecting.send_batch([good[0], good[1], (b"\0" * 20, b"body")])
    assert e.value.code == tarvex.ERR_PROTOCOL and e.value.operation == "send_batch"
    arrived = []
    while (rec := accepting.receive(timeout=0.2)) is not None:
        arrived.append(rec.number)
    assert arrived == list(range(e.value.sent))


def test_receive_into_fills_rows(any_pair):
    accepting, connecting = any_pair
    records = [tarvex.event_header(12, number=i, time=(i, 2 * i)) + bytes([i]) * 12 for i in range(5)]
    records.append(tarvex.slow_header(4, generation="2024") + b"slow")
    records.append(tarvex.event_header(0, generation="2024", number=77))
    connecting.send_batch(records)
    headers = np.zeros(16, tarvex.HEADER_DTYPE)
    bodies = np.full((16, 8), 0xEE, np.uint8)
    got = 0
    while got < 7:
        n = accepting.receive_into(headers[got:], bodies[got:], timeout=10)
        assert n > 0
        got += n
    assert got == 7
    rows = headers[:7]
    assert list(rows["number"][:5]) == list(range(5)) and rows["number"][6] == 77
    assert list(rows["time_low"][:5]) == [2 * i for i in range(5)]
    assert list(rows["kind"]) == [tarvex.KIND_EVENT] * 5 + [tarvex.KIND_SLOW, tarvex.KIND_EVENT]
    assert list(rows["header_size"]) == [36] * 5 + [12, 48]
    assert list(rows["length"]) == [48] * 5 + [16, 48]
    assert rows["channels"][5] == 1 and rows["pattern"][5] == tarvex.PATTERN_SLOW_2024
    for i in range(5):
        assert bytes(bodies[i]) == bytes([i]) * 8  # 12-byte bodies cut to the 8-byte rows
    assert bytes(bodies[5][:4]) == b"slow" and bytes(bodies[5][4:]) == b"\xee" * 4
    ring = tarvex.RingBuffer(100)
    accepting.write_to_ring(ring)  # the last row's record
    assert ring.read_record().number == 77
    assert accepting.receive_into(headers, timeout=0.05) == 0
    with pytest.raises(tarvex.Error, match="ERR_NO_BUFFER"):
        accepting.write_to_ring(ring)  # that call took none


def test_receive_into_checks_its_arrays(pair):
    accepting, _ = pair
    with pytest.raises(TypeError, match="HEADER_DTYPE"):
        accepting.receive_into(np.zeros(4, np.uint64))
    with pytest.raises(TypeError, match="row for every"):
        accepting.receive_into(np.zeros(4, tarvex.HEADER_DTYPE), np.zeros((3, 8), np.uint8))
    with pytest.raises(ValueError, match="writable"):
        headers = np.zeros(4, tarvex.HEADER_DTYPE)
        headers.flags.writeable = False
        accepting.receive_into(headers)
    assert accepting.receive_into(np.zeros(0, tarvex.HEADER_DTYPE)) == 0
