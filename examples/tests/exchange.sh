#!/usr/bin/env bash
# Runs the examples against each other: the minimal sender and receiver over
# TCP and over the local socket, and the epoll receiver serving two minimal
# senders at once.
# Usage: exchange.sh tcp|local|epoll path/to/minimal_sender path/to/minimal_receiver path/to/epoll_receiver
set -u
scenario=$1
sender=$2
receiver=$3
epoll=$4
work=$(mktemp -d /tmp/tarvex-examples.XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT

fail() {
  echo "FAIL ($scenario): $*"
  for f in "$work"/*; do
    [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
  done
  exit 1
}

# A port for the local socket: its path /tmp/<port>.tcp must not exist.
free_local_port() {
  local p
  for _ in $(seq 1 100); do
    p=$((20000 + RANDOM % 40000))
    [ -e "/tmp/$p.tcp" ] || { echo "$p"; return; }
  done
  fail "no free local socket path"
}

# wait_ports FILE N: prints the N ports FILE reports as "listening on port P".
wait_ports() {
  for _ in $(seq 1 200); do
    local ports
    ports=$(sed -n 's/^listening on port \([0-9]*\)$/\1/p' "$1")
    [ "$(echo "$ports" | grep -c .)" -ge "$2" ] && { echo "$ports"; return; }
    sleep 0.05
  done
  fail "the receiver did not report its port"
}

# expect FILE PATTERN COUNT: exactly COUNT lines of FILE match PATTERN.
expect() {
  local n
  n=$(grep -cE "$2" "$1")
  [ "$n" -eq "$3" ] || fail "expected $3 lines matching '$2' in $(basename "$1"), found $n"
}

case $scenario in
tcp | local)
  port=0
  if [ "$scenario" = local ]; then
    export KBR7_TARVEX_SOCK_TYPE=UNIX
    port=$(free_local_port)
  fi
  timeout 30 "$receiver" "$port" 5 >"$work/receiver.out" 2>"$work/receiver.err" &
  pids+=($!)
  port=$(wait_ports "$work/receiver.out" 1)
  timeout 30 "$sender" 127.0.0.1 "$port" 5 >"$work/sender.out" 2>"$work/sender.err" || fail "the sender exited with $?"
  wait "${pids[0]}" || fail "the receiver exited with $?"
  expect "$work/sender.out" '^sent 5 events$' 1
  expect "$work/receiver.out" '^event [0-9]+: 136 bytes$' 5
  [ "$scenario" = local ] && [ -e "/tmp/$port.tcp" ] && fail "the socket file was left behind"
  ;;
epoll)
  timeout 30 "$epoll" 20 0 0 >"$work/epoll.out" 2>"$work/epoll.err" &
  pids+=($!)
  ports=$(wait_ports "$work/epoll.out" 2)
  # Both senders at once: their records interleave at the receiver.  One
  # sends acknowledged (the default), the other not: the receiver serves both.
  n=0
  modes=(ack noack)
  for port in $ports; do
    timeout 30 "$sender" localhost "$port" 20 ${modes[$n]} >"$work/sender$n.out" 2>"$work/sender$n.err" &
    pids+=($!)
    n=$((n + 1))
  done
  for pid in "${pids[@]:1}"; do wait "$pid" || fail "a sender exited with $?"; done
  wait "${pids[0]}" || fail "the epoll receiver exited with $?"
  for port in $ports; do
    expect "$work/epoll.out" "^port $port: event [0-9]+, 136 bytes\$" 20
    expect "$work/epoll.out" "^port $port: 20 events\$" 1
    # Every event of a link, in order.
    got=$(sed -n "s/^port $port: event \\([0-9]*\\),.*/\\1/p" "$work/epoll.out" | tr '\n' ' ')
    [ "$got" = "$(seq 0 19 | tr '\n' ' ')" ] || fail "port $port: events '$got'"
  done
  ;;
*)
  fail "unknown scenario"
  ;;
esac
echo "ok ($scenario)"
