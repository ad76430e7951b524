"""Shared fixtures of the binding's tests: a watchdog on every test, free
ports, and two connected ends of a real link in one process."""

import contextlib
import faulthandler
import socket
import threading

import pytest

import tarvex

# A test that blocks longer than this is stuck: the process prints every
# thread's stack and ends, so CTest reports a failure instead of a hang.
WATCHDOG_SECONDS = 60


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


_handed_out = set()


def free_port():
    """A port no listener holds now and that this process has not handed
    out before (the kernel picks it)."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("", 0))
            port = s.getsockname()[1]
        if port not in _handed_out:
            _handed_out.add(port)
            return port


def listen_on_free_port(link):
    """Listens on a free port, trying again when another process took the
    port between the pick and the bind (or holds /tmp/<port>.tcp, for the
    local socket)."""
    for _ in range(20):
        port = free_port()
        try:
            link.listen(port)
            return port
        except tarvex.Error as e:
            if e.code != tarvex.ERR_BIND:
                raise
    raise RuntimeError("no free port")


@contextlib.contextmanager
def connected_pair(mode=tarvex.NATIVE_MODE, **connecting_options):
    """(accepting, connecting): the accepting end in `mode`, connected over
    loopback; both closed on exit."""
    accepting = tarvex.Link(mode)
    connecting = tarvex.Link(**connecting_options)
    try:
        port = listen_on_free_port(accepting)
        failure = []

        def connect():
            try:
                connecting.connect("127.0.0.1", port, timeout=10)
            except BaseException as e:  # handed to the main thread
                failure.append(e)
                # Lets the accept below return instead of waiting for ever.
                with contextlib.suppress(OSError):
                    socket.create_connection(("127.0.0.1", port), timeout=5).close()

        t = threading.Thread(target=connect)
        t.start()
        accepting.accept()
        t.join()
        if failure:
            raise failure[0]
        yield accepting, connecting
    finally:
        # Both at once: an end that sent records ends its side and waits
        # (within its retry budget) for the other to end its own.
        closing = threading.Thread(target=connecting.close)
        closing.start()
        accepting.close()
        closing.join()


@pytest.fixture
def pair():
    with connected_pair() as p:
        yield p


# The two byte-order situations every record kind is tried in: a plain link,
# and a converting one (the accepting end in big-endian mode makes both ends
# of a little-endian pair convert).
LINK_MODES = {"native": tarvex.NATIVE_MODE, "converting": tarvex.BIGEND_MODE}


@pytest.fixture(params=sorted(LINK_MODES))
def any_pair(request):
    with connected_pair(LINK_MODES[request.param]) as p:
        yield p


def in_thread(fn, *args, **kwargs):
    """Starts fn in a thread; join() returns its result or raises its
    exception."""
    result = {}

    def run():
        try:
            result["value"] = fn(*args, **kwargs)
        except BaseException as e:
            result["error"] = e

    t = threading.Thread(target=run)
    t.start()

    class Handle:
        thread = t

        @staticmethod
        def join(timeout=30):
            t.join(timeout)
            assert not t.is_alive(), "the thread did not finish"
            if "error" in result:
                raise result["error"]
            return result.get("value")

    return Handle()
