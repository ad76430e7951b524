"""The link's lines routed to Python: a handler, Python's logging, a handler
that fails, and connect's retries told at most once a second."""

import logging
import sys
import threading
import time

import pytest

import tarvex
from conftest import free_port, in_thread

NOT_CONNECTED = "ReceiveEvent(): Not connected.  No action taken."
NOT_SETUP = "Disconnect(): Not setup.  No action taken."


@pytest.fixture
def lines():
    """The lines a handler got: (level, line, thread id)."""
    got = []
    previous = tarvex.set_log_handler(lambda level, line: got.append((level, line, threading.get_ident())))
    yield got
    tarvex.set_log_handler(previous)


def test_lines_go_to_the_handler_from_any_thread(lines, capfd):
    link = tarvex.Link()
    with pytest.raises(tarvex.Error):
        link.disconnect()  # prints with the interpreter lock held
    worker = in_thread(link.receive)  # prints from a call that let the lock go
    with pytest.raises(tarvex.Error):
        worker.join()
    assert [(level, line) for level, line, _ in lines] == [(logging.ERROR, NOT_SETUP), (logging.ERROR, NOT_CONNECTED)]
    assert lines[0][2] == threading.get_ident() and lines[1][2] == worker.thread.ident
    assert capfd.readouterr() == ("", "")


def test_lines_reach_python_logging(caplog):
    previous = tarvex.set_log_handler(logging.getLogger("tarvex").log)
    try:
        with caplog.at_level(logging.INFO, logger="tarvex"), pytest.raises(tarvex.Error):
            tarvex.Link().receive()
    finally:
        tarvex.set_log_handler(previous)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("tarvex", logging.ERROR, NOT_CONNECTED)]


def test_a_failing_handler_does_not_break_the_call(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))

    def handler(level, line):
        raise KeyError(line)

    previous = tarvex.set_log_handler(handler)
    try:
        with pytest.raises(tarvex.Error) as e:
            tarvex.Link().receive()
    finally:
        tarvex.set_log_handler(previous)
    assert e.value.code == tarvex.ERR_NOT_CONNECTED
    assert [repr(x) for x in seen] == [repr(KeyError(NOT_CONNECTED))]


def test_none_restores_printing(capfd):
    previous = tarvex.set_log_handler(print)
    assert tarvex.set_log_handler(None) is print
    with pytest.raises(tarvex.Error):
        tarvex.Link().receive()
    assert capfd.readouterr() == ("", NOT_CONNECTED + "\n")
    tarvex.set_log_handler(previous)
    with pytest.raises(TypeError, match="callable"):
        tarvex.set_log_handler(5)


def test_connect_tells_a_refusal_at_most_once_a_second(lines):
    started = time.monotonic()
    with pytest.raises(tarvex.Error) as e:
        tarvex.Link().connect("127.0.0.1", free_port(), timeout=1.5)
    elapsed = time.monotonic() - started
    assert e.value.code == tarvex.ERR_CONNECT
    # About 30 attempts; the first one's line, then one a second at most.
    assert 1 <= len(lines) <= int(elapsed) + 1
    assert all("Connection refused" in line for _, line, _ in lines)
