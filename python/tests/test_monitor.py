"""Smoke runs of the online monitor example against a Python sender and,
when the tools are built, against tarvex-send."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import tarvex
from conftest import free_port

MONITOR = pathlib.Path(__file__).resolve().parents[2] / "examples" / "python" / "monitor.py"
TARVEX_SEND = os.environ.get("TARVEX_SEND")


def start_monitor(*options):
    return subprocess.Popen([sys.executable, str(MONITOR), "--interval", "0.2", "--duration", "30", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def finish(monitor):
    out, _ = monitor.communicate(timeout=40)
    assert monitor.returncode == 0, out
    summary = re.search(r"^monitor: (\d+) records, (\d+) bytes in", out, re.M)
    assert summary, out
    return out, int(summary.group(1)), int(summary.group(2))


def histogram_counts(out):
    """The size classes of the last histogram that hold records: {label: count}."""
    block = out.rsplit("record size", 1)[1]
    rows = re.finditer(r"^\s+(\S+ \S+ - \S+ \S+) \|#*\s+(\d+)$", block, re.M)
    return {m.group(1): int(m.group(2)) for m in rows if int(m.group(2)) > 0}


def test_monitor_counts_every_record_of_a_python_sender():
    port = free_port()
    monitor = start_monitor("--listen", str(port), "--once")
    lengths = []
    try:
        with tarvex.Link() as sender:
            sender.connect("127.0.0.1", port, timeout=20)
            for round_ in range(20):
                batch = []
                for body in (28, 100, 1000):  # records of 64, 136 and 1036 bytes
                    batch.append(tarvex.event_header(body, number=round_) + bytes(body))
                batch.append(tarvex.slow_header(52) + bytes(52))  # 64 bytes
                lengths += [len(r) for r in batch]
                sender.send_batch(batch * 10)
                lengths += [len(r) for r in batch] * 9
    finally:
        out, records, byte_count = finish(monitor)
    assert records == len(lengths) and byte_count == sum(lengths)
    assert "records/s" in out and "slow data 200" in out
    assert histogram_counts(out) == {"64 B - 127 B": 400, "128 B - 255 B": 200, "1 KiB - 2 KiB": 200}


@pytest.mark.skipif(not TARVEX_SEND, reason="tarvex-send is not built (TARVEX_BUILD_TOOLS=OFF)")
def test_monitor_connects_to_tarvex_send():
    port = free_port()
    sender = subprocess.Popen([TARVEX_SEND, "--listen", str(port), "--kind", "event2010,slow2024", "--size", "64",
                               "--count", "3000"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    monitor = start_monitor("--connect", f"127.0.0.1:{port}")
    try:
        sender_out, _ = sender.communicate(timeout=40)
        assert sender.returncode == 0, sender_out
    finally:
        out, records, byte_count = finish(monitor)
    assert records == 3000
    assert byte_count == 1500 * (36 + 64) + 1500 * (12 + 64)
    assert histogram_counts(out) == {"64 B - 127 B": 3000}
