"""Connection handling, status exceptions, threads and the interpreter lock."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import tarvex
from conftest import connected_pair, free_port, in_thread, listen_on_free_port


def test_refused_calls_raise_the_status():
    link = tarvex.Link()
    with pytest.raises(tarvex.Error) as e:
        link.receive()
    assert (e.value.code, e.value.name, e.value.operation) == (6, "ERR_NOT_CONNECTED", "receive")
    assert e.value.status_class == "refused"
    assert str(e.value) == "receive: no connection exists (ERR_NOT_CONNECTED, 6)"
    assert e.value.sent is None

    cases = [
        (lambda: link.send_event(b"1234"), tarvex.ERR_NOT_CONNECTED),
        (lambda: link.accept(), tarvex.ERR_NOT_SETUP),
        (lambda: link.disconnect(), tarvex.ERR_NOT_SETUP),
        (lambda: link.release(), tarvex.ERR_NOT_SETUP),
        (lambda: link.receive_into(np.zeros(4, tarvex.HEADER_DTYPE)), tarvex.ERR_NOT_CONNECTED),
        (lambda: link.receive_image(), tarvex.ERR_NOT_CONNECTED),
        (lambda: link.set_retries(0), tarvex.ERR_BAD_VALUE),
        (lambda: link.connect("127.0.0.1", free_port()), tarvex.ERR_CONNECT),
    ]
    for call, code in cases:
        with pytest.raises(tarvex.Error) as e:
            call()
        assert e.value.code == code
        assert e.value.name == tarvex.status_name(code)
        assert e.value.status_class == tarvex.status_class(code)
        assert tarvex.status_text(code) in str(e.value)


def test_status_names_and_texts_come_from_the_library():
    assert tarvex.status_name(0) == "OK"
    assert tarvex.status_name(25) == "ERR_NO_SPACE"
    assert tarvex.status_name(17) == "UNKNOWN"
    assert tarvex.status_text(6) == "no connection exists"
    assert issubclass(tarvex.Error, Exception)


def test_status_classes_come_from_the_library():
    classes = {
        0: "success",
        tarvex.ERR_TIMEOUT: "idle",
        tarvex.ERR_SCAN_AGAIN: "idle",
        tarvex.ERR_NOT_READABLE: "idle",
        tarvex.ERR_AGAIN: "idle",
        tarvex.ERR_NOT_CONNECTED: "refused",
        tarvex.ERR_BAD_VALUE: "refused",
        tarvex.ERR_CONNECT: "fault",
        tarvex.ERR_READ: "fault",
        17: "fault",  # unknown
    }
    assert {code: tarvex.status_class(code) for code in classes} == classes


def test_accept_connect_and_close(pair):
    accepting, connecting = pair
    assert accepting.active and connecting.active
    assert accepting.port > 0 and connecting.port == 0
    assert not accepting.swapping and not connecting.swapping
    assert accepting.fileno() >= 0 and connecting.fileno() >= 0
    assert accepting.buffered_bytes == 0
    connecting.close()
    assert not connecting.active
    connecting.close()  # closing twice does nothing


def test_context_manager_releases_the_port():
    port = None
    with tarvex.Link() as link:
        port = listen_on_free_port(link)
        assert link.port == port
    # The endpoint is free again: a new link can listen on it.
    with tarvex.Link() as again:
        again.listen(port)
        assert again.port == port


def test_next_peer_after_disconnect():
    with connected_pair() as (accepting, connecting):
        port = accepting.port
        connecting.close()
        accepting.disconnect()
        second = tarvex.Link()
        t = in_thread(second.connect, "127.0.0.1", port, timeout=10)
        accepting.accept()
        t.join()
        second.send_event(b"next", number=2)
        assert accepting.receive(timeout=5).number == 2
        second.close()


def test_mode_and_options():
    assert tarvex.Link().mode == tarvex.NATIVE_MODE
    assert tarvex.Link("bigend").mode == tarvex.BIGEND_MODE
    assert tarvex.Link(tarvex.BIGEND_MODE).mode == tarvex.BIGEND_MODE
    with pytest.raises(TypeError):
        tarvex.Link(True)  # a bool would read as a mode in C++, not as the swap mask
    with pytest.raises(ValueError):
        tarvex.Link("little")
    link = tarvex.Link(swap_mask=True, retries=3, send_waits=False)
    assert link.swap_mask and not link.send_waits
    link.swap_mask = False
    link.send_waits = True
    assert not link.swap_mask and link.send_waits


def test_converting_link_both_ends_convert():
    with connected_pair(tarvex.BIGEND_MODE) as (accepting, connecting):
        assert accepting.swapping and connecting.swapping


def test_swap_mask_keeps_a_converting_link_from_converting():
    with connected_pair(tarvex.BIGEND_MODE, swap_mask=True) as (accepting, connecting):
        assert accepting.swapping and not connecting.swapping


def test_receive_releases_the_interpreter_lock(pair):
    """A second Python thread runs while the main thread waits in receive;
    it sends the record that ends the wait only after counting on."""
    accepting, connecting = pair
    progress = {"count": 0}

    def count_then_send():
        deadline = time.monotonic() + 0.3
        while time.monotonic() < deadline:
            progress["count"] += 1
        connecting.send_event(b"done", number=progress["count"])

    t = threading.Thread(target=count_then_send)
    t.start()
    # With the lock held this wait would end by its timeout, without a record.
    rec = accepting.receive(timeout=20)
    t.join()
    assert rec is not None
    assert progress["count"] > 1000
    assert rec.number == progress["count"] & 0xFFFFFFFF


def test_blocking_calls_release_the_lock_for_accept_and_receive_into():
    link = tarvex.Link()
    port = listen_on_free_port(link)
    ticks = []
    ticker_stop = threading.Event()

    def ticker():
        while not ticker_stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    def peer():
        time.sleep(0.2)
        with tarvex.Link() as c:
            c.connect("127.0.0.1", port, timeout=10)
            time.sleep(0.2)
            c.send_event(b"x" * 8, number=5)
            time.sleep(0.2)

    t = threading.Thread(target=ticker)
    t.start()
    p = in_thread(peer)
    try:
        link.accept()
        at_accept = len(ticks)
        headers = np.zeros(4, tarvex.HEADER_DTYPE)
        n = link.receive_into(headers, timeout=20)
        assert n == 1 and headers["number"][0] == 5
        assert at_accept > 10 and len(ticks) > at_accept + 10
    finally:
        ticker_stop.set()
        t.join()
        p.join()
        link.close()


def test_a_second_thread_is_refused_while_one_waits(pair):
    accepting, connecting = pair
    waiting = in_thread(accepting.receive, timeout=10)
    time.sleep(0.2)
    with pytest.raises(RuntimeError, match="in use by another thread"):
        accepting.receive(timeout=0)
    connecting.send_event(b"abcd", number=1)
    assert waiting.join().number == 1


def test_timeout_returns_none(pair):
    accepting, _ = pair
    started = time.monotonic()
    assert accepting.receive(timeout=0.2) is None
    assert time.monotonic() - started >= 0.15
    assert accepting.receive_image(timeout=0.05) is None
    assert accepting.receive_spectrum(timeout=0.05) is None
    assert accepting.wait(timeout=0.05) is False
    assert accepting.wait(write=True, timeout=1) is True
    with pytest.raises(ValueError):
        accepting.receive(timeout=-1)


def test_peer_gone_ends_receive_and_iteration(pair):
    accepting, connecting = pair
    for i in range(3):
        connecting.send_event(b"abcd", number=i)
    connecting.close()
    numbers = [rec.number for rec in accepting.records(timeout=0.5)]
    assert numbers == [0, 1, 2]
    assert accepting.peer_closed
    with pytest.raises(tarvex.PeerGone):
        accepting.receive()  # no time limit, yet it ends: the peer has gone


# (what is sent before the close, the receive, what it returns on a time-out)
RECEIVES = {
    "receive": (lambda c: c.send_event(b"abcd"), lambda l, t: l.receive(timeout=t), None),
    "receive_into": (lambda c: c.send_event(b"abcd"),
                     lambda l, t: l.receive_into(np.zeros(4, tarvex.HEADER_DTYPE), timeout=t), 0),
    "receive_image": (lambda c: c.send_image(np.zeros((2, 2), np.uint8)), lambda l, t: l.receive_image(timeout=t),
                      None),
    "receive_spectrum": (lambda c: c.send_spectrum(np.zeros(3, np.float32)),
                         lambda l, t: l.receive_spectrum(timeout=t), None),
}


@pytest.mark.parametrize("timeout", [None, 5], ids=["blocking", "timed"])
@pytest.mark.parametrize("name", sorted(RECEIVES))
def test_a_gone_peer_is_told_from_a_time_out(name, timeout):
    send, receive, nothing = RECEIVES[name]
    with connected_pair() as (accepting, connecting):
        assert receive(accepting, 0.05) == nothing
        send(connecting)
        connecting.close()
        assert receive(accepting, timeout) not in (None, 0)  # what came before the close comes first
        with pytest.raises(tarvex.PeerGone, match=name):
            receive(accepting, timeout)
        with pytest.raises(EOFError):
            receive(accepting, 0.05)
        assert accepting.peer_closed


def test_bad_arguments_are_refused_as_python_refuses_them():
    link = tarvex.Link()
    for port in (-1, 65536, 2**31, 2**40):
        with pytest.raises(ValueError, match="TCP port is 0..65535"):
            link.listen(port)
        with pytest.raises(ValueError, match="TCP port is 0..65535"):
            link.connect("127.0.0.1", port)
    with pytest.raises(TypeError, match="mode is tarvex.NATIVE_MODE .* not NoneType"):
        tarvex.Link(None)
    for call in (lambda: tarvex.Link(1.0), lambda: tarvex.Link(retries="3"), lambda: link.listen("5000")):
        with pytest.raises(TypeError):
            call()
    assert not link.active and link.port == 0


# Every call that takes a timeout, on a link that is not connected: the
# timeout is refused before anything else is looked at.
TIMED_CALLS = {
    "receive": lambda l, t: l.receive(timeout=t),
    "receive_into": lambda l, t: l.receive_into(np.zeros(4, tarvex.HEADER_DTYPE), timeout=t),
    "receive_image": lambda l, t: l.receive_image(timeout=t),
    "receive_spectrum": lambda l, t: l.receive_spectrum(timeout=t),
    "wait": lambda l, t: l.wait(timeout=t),
    "records": lambda l, t: l.records(timeout=t),
    "connect": lambda l, t: l.connect("127.0.0.1", 1, timeout=t),
}


@pytest.mark.parametrize("name", sorted(TIMED_CALLS))
def test_timeouts_are_numbers_of_seconds_not_below_zero(name):
    call = TIMED_CALLS[name]
    link = tarvex.Link()
    for bad in (-1, -0.001, float("nan")):
        with pytest.raises(ValueError, match="timeout"):
            call(link, bad)
    with pytest.raises(TypeError):
        call(link, "1")


def test_the_local_socket_takes_any_port_number(monkeypatch):
    monkeypatch.setenv("KBR7_TARVEX_SOCK_TYPE", "UNIX")
    for port in (free_port() + 70000, -free_port()):
        with tarvex.Link() as accepting, tarvex.Link() as connecting:
            accepting.listen(port)
            assert accepting.port == port and os.path.exists(f"/tmp/{port}.tcp")
            t = in_thread(connecting.connect, "127.0.0.1", port, timeout=10)
            accepting.accept()
            t.join()
            connecting.send_event(b"abcd", number=abs(port))
            assert accepting.receive(timeout=5).number == abs(port)
        assert not os.path.exists(f"/tmp/{port}.tcp")


def test_no_room_answers_is_a_read_only_count():
    link = tarvex.Link()
    assert link.no_room_answers == 0
    with pytest.raises(AttributeError):
        link.no_room_answers = 1


def test_local_socket_transport(monkeypatch):
    monkeypatch.setenv("KBR7_TARVEX_SOCK_TYPE", "UNIX")
    with connected_pair() as (accepting, connecting):
        assert os.path.exists(f"/tmp/{accepting.port}.tcp")
        connecting.send_event(b"local!!!", number=11)
        rec = accepting.receive(timeout=5)
        assert rec.number == 11 and bytes(rec.body) == b"local!!!"
        port = accepting.port
    assert not os.path.exists(f"/tmp/{port}.tcp")


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("call", ["receive", "accept"])
def test_a_signal_ends_a_blocking_call(call):
    """The exception of a Python signal handler ends a call that waits
    without a time limit (Ctrl-C works the same way)."""

    def handler(signum, frame):
        raise Interrupted()

    previous = signal.signal(signal.SIGUSR1, handler)
    main = threading.get_ident()
    poke = threading.Timer(0.3, lambda: signal.pthread_kill(main, signal.SIGUSR1))
    try:
        with connected_pair() as (accepting, _):
            poke.start()
            with pytest.raises(Interrupted):
                if call == "receive":
                    accepting.receive()
                else:
                    accepting.disconnect()
                    accepting.accept()
    finally:
        poke.join()
        signal.signal(signal.SIGUSR1, previous)
