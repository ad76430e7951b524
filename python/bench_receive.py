#!/usr/bin/env python3
"""How fast Python receives small records: a sender process (Python batch
sends, or tarvex-send) feeds a link with 2010 events of a 64-byte body, and
this process receives them for a few seconds and prints records per second.

    bench_receive.py                              # Python sender, both receive styles
    bench_receive.py --sender out/build/tools/tarvex-send --style into

Receive styles: "into" takes records in batches into preallocated numpy
arrays (Link.receive_into, one call per batch, header rows and bodies);
"record" makes one Record object per call (Link.receive).  The count starts
at the first record, so connecting and starting up are not timed.
"""

import argparse
import os
import socket
import subprocess
import sys
import time

import numpy as np

import tarvex

RECORDS_PER_SEND = 1024


def free_port():
    with socket.socket() as s:
        s.bind(("", 0))
        return s.getsockname()[1]


def run_sender(port, body, seconds):
    """The Python sender: one block of records, sent again and again in
    batches until the time is up or the receiver has gone."""
    block = b"".join(tarvex.event_header(body, number=i) + bytes(body) for i in range(RECORDS_PER_SEND))
    with tarvex.Link(send_waits=False) as link:
        link.connect("127.0.0.1", port, timeout=10)
        end = time.monotonic() + seconds
        try:
            while time.monotonic() < end:
                link.send_batch(block)
        except tarvex.Error:
            pass  # the receiver closed first


def start_sender(args, port):
    seconds = args.seconds + 5  # outlives the timed part; the receiver ends the run
    if args.sender == "python":
        cmd = [sys.executable, os.path.abspath(__file__), "--role", "sender", "--port", str(port), "--body",
               str(args.body), "--seconds", str(seconds)]
    else:
        count = str(int(5e6 * seconds))
        cmd = [args.sender, "--connect", f"127.0.0.1:{port}", "--size", str(args.body), "--count", count]
    return subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def receive_into(link, args):
    headers = np.zeros(args.batch, tarvex.HEADER_DTYPE)
    bodies = np.zeros((args.batch, args.body), np.uint8)
    link.receive_into(headers, bodies, timeout=10)  # the clock starts once records flow
    start = time.perf_counter()
    end = start + args.seconds
    count = 0
    while True:
        try:
            count += link.receive_into(headers, bodies, timeout=1)
        except tarvex.PeerGone:
            return count, time.perf_counter() - start
        now = time.perf_counter()
        if now >= end:
            return count, now - start


def receive_records(link, args):
    link.receive(timeout=10)  # the clock starts once records flow
    start = time.perf_counter()
    end = start + args.seconds
    count = 0
    check_every = 1024
    while True:
        try:
            for _ in range(check_every):
                if link.receive(timeout=1) is None:
                    break
                count += 1
        except tarvex.PeerGone:
            return count, time.perf_counter() - start
        now = time.perf_counter()
        if now >= end:
            return count, now - start


STYLES = {"into": receive_into, "record": receive_records}


def run_receiver(args):
    print(f"sender: {args.sender}; records: 2010 events, {args.body}-byte body ({36 + args.body} bytes each); "
          f"{args.seconds:g} s per style")
    results = {}
    for style in args.style:
        with tarvex.Link() as link:
            port = free_port()
            link.listen(port)
            sender = start_sender(args, port)
            try:
                link.accept()
                count, elapsed = STYLES[style](link, args)
            finally:
                link.close()
                sender.kill()
                sender.wait()
        rate = count / elapsed
        results[style] = rate
        print(f"{style:>7}: {count:10d} records in {elapsed:5.2f} s = {rate / 1e3:8.1f} k records/s", flush=True)
    return results


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sender", default="python", help="'python' or the path of tarvex-send (default python)")
    p.add_argument("--style", action="append", choices=sorted(STYLES), help="receive style (default: both)")
    p.add_argument("--seconds", type=float, default=3.0, help="timed seconds per style (default 3)")
    p.add_argument("--body", type=int, default=64, help="body bytes of each record (default 64)")
    p.add_argument("--batch", type=int, default=4096, help="rows per receive_into call (default 4096)")
    p.add_argument("--role", choices=["receiver", "sender"], default="receiver", help=argparse.SUPPRESS)
    p.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    args.style = args.style or ["into", "record"]
    if args.body < 8 or args.body % 4 or args.seconds <= 0 or args.batch <= 0:
        p.error("--body is a multiple of 4 and at least 8; --seconds and --batch are positive")
    return args


if __name__ == "__main__":
    a = parse_args(sys.argv[1:])
    if a.role == "sender":
        run_sender(a.port, a.body, a.seconds)
    else:
        run_receiver(a)
