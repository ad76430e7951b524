#!/usr/bin/env python3
"""Online monitor: receives events and slow data from a link and shows, in
the terminal, the record rate and a live histogram of record sizes.

    monitor.py --listen 5000              # a sender connects to us
    monitor.py --connect daq-host:5000    # we connect to a sender that listens

Records are taken in batches (Link.receive_into fills preallocated arrays of
header fields in one call), so the monitor keeps up with fast senders.  It
ends on Ctrl-C, after --duration seconds, or when the peer goes away (with
--listen it then waits for the next peer unless --once is given).  The last
line is a summary: "monitor: N records, B bytes in S s".
"""

import argparse
import math
import sys
import time

import numpy as np

import tarvex

BINS = 64  # log2 size classes: class k holds lengths 2**k .. 2**(k+1) - 1


class Stats:
    def __init__(self):
        self.started = time.monotonic()
        self.records = 0
        self.bytes = 0
        self.events = 0
        self.slow = 0
        self.size_classes = np.zeros(BINS, np.int64)
        self.window_start = self.started
        self.window_records = 0
        self.window_bytes = 0

    def add(self, rows):
        lengths = rows["length"].astype(np.int64)
        self.records += len(rows)
        self.window_records += len(rows)
        total = int(lengths.sum())
        self.bytes += total
        self.window_bytes += total
        self.slow += int(np.count_nonzero(rows["kind"] == tarvex.KIND_SLOW))
        self.events = self.records - self.slow
        classes = np.floor(np.log2(np.maximum(lengths, 1))).astype(np.int64)
        self.size_classes += np.bincount(classes, minlength=BINS)[:BINS]

    def take_window(self):
        now = time.monotonic()
        span = max(now - self.window_start, 1e-9)
        rate = (self.window_records / span, self.window_bytes / span)
        self.window_start, self.window_records, self.window_bytes = now, 0, 0
        return rate


def size_label(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024:
            return f"{n:.0f} {unit}"
        n /= 1024
    return f"{n:.0f} TiB"


def render(stats, peer, rate, width):
    lines = [
        f"tarvex monitor  {peer}  up {time.monotonic() - stats.started:6.1f} s",
        f"rate   {rate[0]:12.0f} records/s {rate[1] / 1e6:10.2f} MB/s",
        f"total  {stats.records:12d} records  {stats.bytes / 1e6:10.2f} MB"
        f"   (events {stats.events}, slow data {stats.slow})",
        "record size                      records",
    ]
    used = np.nonzero(stats.size_classes)[0]
    if len(used) == 0:
        lines.append("  (no records yet)")
        return "\n".join(lines)
    peak = int(stats.size_classes.max())
    for k in range(used[0], used[-1] + 1):
        count = int(stats.size_classes[k])
        bar = "#" * (math.ceil(width * count / peak) if count else 0)
        label = f"{size_label(2 ** k)} - {size_label(2 ** (k + 1) - 1)}"
        lines.append(f"  {label:>19} |{bar:<{width}} {count:>12d}")
    return "\n".join(lines)


def show(text, live):
    if live:
        sys.stdout.write("\x1b[H\x1b[2J" + text + "\n")  # redraw in place
    else:
        sys.stdout.write(text + "\n\n")
    sys.stdout.flush()


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = p.add_mutually_exclusive_group()
    where.add_argument("--listen", type=int, metavar="PORT", help="accept a sender on PORT (default 5000)")
    where.add_argument("--connect", metavar="HOST:PORT", help="connect to a sender that listens")
    p.add_argument("--bigend", action="store_true", help="with --listen: big-endian mode, both ends convert")
    p.add_argument("--duration", type=float, default=0, help="stop after this many seconds (default: never)")
    p.add_argument("--interval", type=float, default=1.0, help="seconds between screen updates (default 1)")
    p.add_argument("--batch", type=int, default=4096, help="records taken per call (default 4096)")
    p.add_argument("--width", type=int, default=40, help="width of the histogram bars (default 40)")
    p.add_argument("--once", action="store_true", help="with --listen: end when the first peer goes")
    args = p.parse_args(argv)
    if args.interval <= 0 or args.batch <= 0 or args.width <= 0 or args.duration < 0:
        p.error("--interval, --batch and --width must be positive, --duration not negative")
    if args.listen is None and args.connect is None:
        args.listen = 5000
    if args.connect is not None:
        host, _, port = args.connect.rpartition(":")
        if not host or not port.isdigit():
            p.error("--connect takes HOST:PORT")
        args.host, args.port = host, int(port)
    return args


def open_link(args):
    link = tarvex.Link(tarvex.BIGEND_MODE if args.bigend else tarvex.NATIVE_MODE)
    if args.listen is not None:
        link.listen(args.listen)
        print(f"monitor: listening on port {args.listen}", flush=True)
        link.accept()
        return link, f"port {args.listen}"
    link.connect(args.host, args.port, timeout=10)
    return link, f"{args.host}:{args.port}"


def run(args):
    live = sys.stdout.isatty()
    stats = Stats()
    headers = np.zeros(args.batch, tarvex.HEADER_DTYPE)
    deadline = stats.started + args.duration if args.duration else math.inf
    link, peer = open_link(args)
    next_update = time.monotonic() + args.interval
    try:
        while time.monotonic() < deadline:
            wait = max(0.0, min(next_update, deadline) - time.monotonic())
            try:
                n = link.receive_into(headers, timeout=wait)
            except tarvex.PeerGone:
                if args.listen is None or args.once:
                    break
                link.disconnect()
                show(render(stats, peer + " (waiting for the next peer)", stats.take_window(), args.width), live)
                link.accept()
                continue
            if n:
                stats.add(headers[:n])
            if time.monotonic() >= next_update:
                show(render(stats, peer, stats.take_window(), args.width), live)
                next_update += args.interval * max(1, math.ceil((time.monotonic() - next_update) / args.interval))
    except KeyboardInterrupt:
        pass
    finally:
        link.close()
    show(render(stats, peer, stats.take_window(), args.width), live)
    print(f"monitor: {stats.records} records, {stats.bytes} bytes in {time.monotonic() - stats.started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(run(parse_args(sys.argv[1:])))
