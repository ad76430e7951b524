#!/usr/bin/env bash
# Drives tarvex-dump and tarvex-send through their command lines: the dump
# listens on a port it picks itself, the sender sends to it, and the dump's
# lines and totals must show what was sent.
# Usage: dump_send.sh SCENARIO path/to/tarvex-dump path/to/tarvex-send
set -u
scenario=$1
dump=$2
send=$3
work=$(mktemp -d /tmp/tarvex-dump-send.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL ($scenario): $*"
  for f in "$work"/*.out "$work"/*.err; do
    [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
  done
  exit 1
}

# start_dump NAME [dump options...]: runs the dump in the background, bounded
# in time, and sets $port once it listens.
start_dump() {
  local name=$1; shift
  timeout 60 "$dump" --listen 0 "$@" >"$work/$name.out" 2>"$work/$name.err" &
  dump_pid=$!
  port=""
  for _ in $(seq 1 200); do
    port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$work/$name.out" 2>/dev/null)  # not there yet at first
    [ -n "$port" ] && return 0
    kill -0 "$dump_pid" 2>/dev/null || fail "the dump ended before it listened"
    sleep 0.05
  done
  fail "the dump did not report its port"
}

wait_dump() {
  wait "$dump_pid" || fail "the dump exited with $?"
}

# expect FILE PATTERN COUNT: exactly COUNT lines of FILE match PATTERN.
expect() {
  local n
  n=$(grep -cE "$2" "$1")
  [ "$n" -eq "$3" ] || fail "expected $3 lines matching '$2' in $(basename "$1"), found $n"
}

# wait_for FILE PATTERN: waits (up to 10 s) until a line of FILE matches.
wait_for() {
  for _ in $(seq 1 200); do
    grep -qE "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "no line matching '$2' in $(basename "$1")"
}

# expect_sequence_of FILE "S1 S2 ...": the record lines carry exactly these tags, in order.
expect_sequence_of() {
  local got
  got=$(grep -oE '^#[0-9]+ .* seq=[0-9]+$' "$1" | sed 's/.* seq=//' | tr '\n' ' ')
  [ "$got" = "$2 " ] || fail "sequence numbers '$got', expected '$2'"
}

# Every record line carries the tag seq=0..N-1, in order.
expect_sequence() {
  local got want
  got=$(grep -oE '^#[0-9]+ .* seq=[0-9]+$' "$1" | sed 's/.* seq=//' | tr '\n' ' ')
  want=$(seq 0 $(($2 - 1)) | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "sequence numbers '$got', expected '$want'"
}

case $scenario in
help)
  for tool in "$dump" "$send"; do
    "$tool" --help >"$work/help.out" || fail "$(basename "$tool") --help exited with $?"
    grep -q '^usage: ' "$work/help.out" || fail "$(basename "$tool") --help shows no usage"
    "$tool" --no-such-option >/dev/null 2>&1 && fail "$(basename "$tool") accepted an unknown option"
  done
  ;;
events)
  start_dump d --count 10
  "$send" --connect "127.0.0.1:$port" --kind event2010,event2024,legacy,slow,slow2024 --count 10 --size 100 \
    --pieces 3 >"$work/s.out" 2>&1 || fail "send exited with $?"
  wait_dump
  expect "$work/d.out" '^#[0-9]+ event/2010 +native +len=136 num=[0-9]+ type=' 2
  expect "$work/d.out" '^#[0-9]+ event/2024 +native +len=148 ' 2
  expect "$work/d.out" '^#[0-9]+ event/legacy +native +len=136 ' 2
  expect "$work/d.out" '^#[0-9]+ slow/legacy +native +len=112 channels=25 ' 2
  expect "$work/d.out" '^#[0-9]+ slow/2024 +native +len=112 channels=25 ' 2
  expect_sequence "$work/d.out" 10
  expect "$work/d.out" '^records: 10$' 1
  expect "$work/d.out" '^bytes: 1288$' 1
  expect "$work/d.out" '^scan skipped: 0 bytes$' 1
  ;;
ack)
  # Acknowledged against a ring buffer: admitted while it fits, then refused.
  start_dump d --count 4 --ring 64K
  "$send" --connect "127.0.0.1:$port" --ack --count 4 --size 4000 >"$work/s.out" 2>&1 || fail "send exited with $?"
  wait_dump
  expect_sequence "$work/d.out" 4
  start_dump r --count 1 --ring 1000
  "$send" --connect "127.0.0.1:$port" --ack --count 2 --size 2000 >"$work/s2.out" 2>&1 && fail "send of a refused record succeeded"
  wait_dump
  expect "$work/s2.out" 'sending record 0: ERR_NO_SPACE \(25\)' 1
  expect "$work/r.out" '^refused: 1$' 1
  # A dump with a ring says once what its sender must use.
  expect "$work/r.out" '^tarvex-dump: answering acknowledgements against a ring buffer of 1000: the sender must send acknowledged \(tarvex-send --ack\)$' 1
  # The dump that stopped at --count let the sender end the connection
  # first: its port is not held in the closing wait, a new dump listens on it.
  start_dump again --listen "$port" --count 1
  "$send" --connect "127.0.0.1:$port" --count 1 >"$work/s3.out" 2>&1 || fail "send to the dump on the same port exited with $?"
  wait_dump
  expect "$work/again.out" "listening on port $port " 1
  ;;
no_room)
  # An unacknowledged sender to a dump with a ring too small for its
  # records: the dump answers "no room" and skips them, the sender counts
  # those answers, says what was lost and exits with 1.
  start_dump d --ring 4K --quiet
  "$send" --connect "127.0.0.1:$port" --count 3 --size 8000 >"$work/s.out" 2>"$work/s.err"
  code=$?
  wait_dump
  [ "$code" -eq 1 ] || fail "the sender whose records were skipped exited with $code, expected 1"
  expect "$work/s.out" '^tarvex-send: sent 3 records .*; no-room answers: 3$' 1
  expect "$work/s.err" '^tarvex-send: the receiver had no room for 3 record\(s\) and skipped them: it answers acknowledgements, send with --ack$' 1
  expect "$work/d.out" '^refused: 3$' 1
  ;;
save_full)
  # Every failed write of --save ends the dump with a line, exit status 1
  # and one more error: at the final flush (a few small records stay in
  # the file's buffer) and in the middle of a run.
  for run in 3:100:flushing 200:1000:'writing record #[0-9]+'; do
    IFS=: read -r count size what <<<"$run"
    # A file of its own per run: the port is read from it.
    start_dump "d$count" --quiet --save /dev/full
    "$send" --connect "127.0.0.1:$port" --count "$count" --size "$size" >"$work/s$count.out" 2>&1
    wait "$dump_pid"
    code=$?
    [ "$code" -eq 1 ] || fail "the dump that could not save exited with $code, expected 1"
    expect "$work/d$count.err" "^tarvex-dump: --save /dev/full: $what failed: No space left on device; the file is incomplete" 1
    expect "$work/d$count.out" '^errors: 1$' 1
  done
  ;;
busy)
  # A port that is taken: the second dump says "address in use", names
  # --reuse-addr, and exits with 1.
  start_dump d --count 1
  timeout 10 "$dump" --listen "$port" >"$work/b.out" 2>"$work/b.err"
  code=$?
  [ "$code" -eq 1 ] || fail "the dump on a taken port exited with $code, expected 1"
  expect "$work/b.err" "^tarvex-dump: port $port \(tcp\): address in use: .*--reuse-addr" 1
  "$send" --connect "127.0.0.1:$port" --count 1 >"$work/s.out" 2>&1 || fail "send exited with $?"
  wait_dump
  ;;
unix_env)
  # KBR7_TARVEX_SOCK_TYPE=UNIX chooses the local socket as --unix does.
  # The link's own lines go to standard error: standard output holds only
  # the dump's lines.
  export KBR7_TARVEX_SOCK_TYPE=UNIX
  start_dump d --count 2
  "$send" --connect "127.0.0.1:$port" --count 2 >"$work/s.out" 2>"$work/s.err" || fail "send exited with $?"
  wait_dump
  expect "$work/d.out" 'listening on port [0-9]+ \(local socket\)' 1
  expect_sequence "$work/d.out" 2
  expect "$work/d.err" '^UNIX socket will be used$' 1
  expect "$work/d.out" '^(UNIX socket will be used|Here we are|SocketRelease)' 0
  expect "$work/s.out" '^tarvex-send: ' 1
  ;;
converted)
  # A big-endian-mode link: both ends convert, the records arrive intact.
  start_dump d --count 5 --bigend --ring 1M --hex 4
  "$send" --connect "127.0.0.1:$port" --kind event2010,event2024,legacy,slow,slow2024 --ack --count 5 --size 64 \
    >"$work/s.out" 2>&1 || fail "send exited with $?"
  wait_dump
  expect "$work/d.out" '^#[0-9]+ [a-z]+/[0-9a-z]+ +converted ' 5
  # Shown in host order, whatever order they travelled in.
  if [ "$(printf '\001\000' | od -An -tu2 | tr -d ' ')" = 1 ]; then pattern='dd ff ee ff'; else pattern='ff ee ff dd'; fi
  expect "$work/d.out" "^ +000000: $pattern\$" 1
  expect_sequence "$work/d.out" 5
  ;;
images)
  start_dump d --count 3 --images
  "$send" --connect "127.0.0.1:$port" --kind image --count 3 --size 5000 >"$work/s.out" 2>&1 \
    || fail "send exited with $?"
  wait_dump
  expect "$work/d.out" '^#[0-9]+ image +native +len=5108 frame=256x10 bpp=16 data=5000 ' 3
  expect_sequence "$work/d.out" 3
  ;;
spectra)
  start_dump d --count 3 --spectra --bigend
  "$send" --connect "127.0.0.1:$port" --kind spectrum --count 3 --size 400 >"$work/s.out" 2>&1 \
    || fail "send exited with $?"
  wait_dump
  expect "$work/d.out" '^#[0-9]+ spectrum +converted +len=456 bins=100 ' 3
  expect_sequence "$work/d.out" 3
  ;;
saved)
  # What one dump saves, tarvex-send --file sends again; a second dump sees
  # the same records.
  start_dump d --count 6 --save "$work/records.bin"
  "$send" --connect "127.0.0.1:$port" --kind event2024,slow,event2010 --count 6 --size 777 >"$work/s.out" 2>&1 \
    || fail "send exited with $?"
  wait_dump
  start_dump e --count 6 --ring 1M
  "$send" --connect "127.0.0.1:$port" --file "$work/records.bin" --ack >"$work/s2.out" 2>&1 \
    || fail "send --file exited with $?"
  wait_dump
  expect "$work/d.out" '^#' 6
  diff <(grep '^#' "$work/d.out") <(grep '^#' "$work/e.out") >/dev/null || fail "the resent records differ"
  ;;
stats)
  # A run of about 2.5 s: the dump's progress line comes once a second, on
  # standard error, with the totals so far.
  start_dump d --count 25 --quiet --stats --ring 64K
  "$send" --connect "127.0.0.1:$port" --ack --count 25 --rate 10 --size 100 >"$work/s.out" 2>&1 \
    || fail "send exited with $?"
  wait_dump
  n=$(grep -cE '^tarvex-dump: [0-9]+ records/s, [0-9]+\.[0-9] MB/s; [0-9]+ records, 0 bytes skipped by the scan, 0 refused$' \
    "$work/d.err")
  [ "$n" -ge 1 ] && [ "$n" -le 4 ] || fail "expected 1 to 4 progress lines, found $n"
  expect "$work/d.out" '^#' 0
  expect "$work/d.out" '^records: 25$' 1
  ;;
unix)
  start_dump d --count 4 --unix
  "$send" --connect "127.0.0.1:$port" --unix --kind event2024,slow2024 --count 4 --size 256 >"$work/s.out" 2>&1 \
    || fail "send exited with $?"
  wait_dump
  expect "$work/d.out" 'listening on port [0-9]+ \(local socket\)' 1
  expect_sequence "$work/d.out" 4
  [ -e "/tmp/$port.tcp" ] && fail "the local socket file was left behind"
  ;;
idle)
  # An idle peer is waited for; SIGTERM stops the dump, which prints its
  # totals once and exits with 0.
  start_dump d --quiet
  exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "no connection to the dump"
  wait_for "$work/d.out" 'connected'
  sleep 1.5
  kill -0 "$dump_pid" 2>/dev/null || fail "the dump ended while its peer was idle"
  kill -TERM "$dump_pid"
  wait_dump
  exec 3>&-
  expect "$work/d.out" '^--- totals ---$' 1
  expect "$work/d.out" '^records: 0$' 1
  expect "$work/d.out" 'the peer has closed' 0
  ;;
gone)
  # A peer that closes without a record: the dump tells, and ends by itself.
  # The preamble is read first: unread bytes would turn the close into a reset.
  start_dump d
  exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "no connection to the dump"
  head -c 4 <&3 >/dev/null
  exec 3>&-
  wait_dump
  expect "$work/d.out" '^-  the peer has closed the link$' 1
  expect "$work/d.out" '^--- totals ---$' 1
  ;;
too_long)
  # --max-record: longer records are refused and passed over, the shorter
  # ones around them arrive.  With a 1060-byte payload a 2010 event is 1096
  # bytes long, a 2024 event 1108.
  start_dump d --max-record 1100
  "$send" --connect "127.0.0.1:$port" --kind event2010,event2024 --count 4 --size 1060 >"$work/s.out" 2>&1 \
    || fail "send exited with $?"
  wait_dump
  expect_sequence_of "$work/d.out" "0 2"
  expect "$work/d.err" '^tarvex-dump: ReceiveEvent: ERR_BAD_VALUE \(19\), ' 2
  expect "$work/d.out" '^errors: 2$' 1
  ;;
send_stop)
  # SIGINT stops a sender between records: it prints what it sent and exits
  # with 130; the dump has every record the sender counted.
  # The signal comes once the dump has seen a record: the sender is running.
  start_dump d
  timeout 60 "$send" --connect "127.0.0.1:$port" --rate 20 --count 100000 >"$work/s.out" 2>"$work/s.err" &
  send_pid=$!
  wait_for "$work/d.out" '^#3 '
  kill -INT "$send_pid"
  wait "$send_pid"
  code=$?
  [ "$code" -eq 130 ] || fail "the stopped sender exited with $code, expected 130"
  wait_dump
  expect "$work/s.out" '^tarvex-send: stopped by SIGINT$' 1
  sent=$(sed -n 's/^tarvex-send: sent \([0-9]*\) records.*/\1/p' "$work/s.out")
  [ -n "$sent" ] && [ "$sent" -gt 0 ] || fail "the sender did not say what it sent"
  expect "$work/d.out" "^records: $sent\$" 1
  ;;
preamble)
  # A listener that accepts but never sends the preamble: the sender gives
  # up after --preamble-timeout, and a signal ends the wait without one.
  # It says "accepted" for every connection, and keeps them all open.
  python3 -c 'import socket,time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
print(s.getsockname()[1], flush=True)
kept = []
while True:
    kept.append(s.accept()); print("accepted", flush=True)' >"$work/l.out" &
  listener=$!
  trap 'kill $listener 2>/dev/null; rm -rf "$work"' EXIT
  wait_for "$work/l.out" '^[0-9]+$'
  port=$(head -n 1 "$work/l.out")
  start=$(date +%s%N)
  timeout 15 "$send" --connect "127.0.0.1:$port" --preamble-timeout 500 >"$work/s.out" 2>"$work/s.err"
  code=$?
  ms=$((($(date +%s%N) - start) / 1000000))
  [ "$code" -eq 1 ] || fail "the sender exited with $code, expected 1"
  [ "$ms" -lt 5000 ] || fail "the sender gave up after $ms ms, expected about 500"
  expect "$work/s.err" '^Connect\(\): failed to receive preamble' 1
  expect "$work/s.err" '^tarvex-send: Connect: ERR_PROTOCOL \(18\), ' 1
  timeout 15 "$send" --connect "127.0.0.1:$port" >"$work/s2.out" 2>"$work/s2.err" &
  send_pid=$!
  # The signal comes while the sender waits for the preamble of its second connection.
  for _ in $(seq 1 200); do
    [ "$(grep -c '^accepted$' "$work/l.out")" -ge 2 ] && break
    sleep 0.05
  done
  sleep 0.2
  kill -INT "$send_pid"
  wait "$send_pid"
  code=$?
  [ "$code" -eq 130 ] || fail "the sender stopped in the preamble wait exited with $code, expected 130"
  expect "$work/s2.out" '^tarvex-send: stopped by SIGINT before the link was open$' 1
  expect "$work/s2.out" '^tarvex-send: sent 0 records \(none\)' 1
  ;;
*)
  fail "unknown scenario"
  ;;
esac
echo "ok ($scenario)"
