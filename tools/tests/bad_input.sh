#!/usr/bin/env bash
# The tools refuse bad input: every row of the table below must end the tool
# with exit status 2, a first line on standard error that matches the row's
# message, and nothing on standard output (nothing was opened: a listening
# tool says so there).  Then --version on every tool, and the connect
# retries of a sender without receiver: one line a second, not one per
# attempt.
# Usage: bad_input.sh path/to/tarvex-dump path/to/tarvex-send path/to/tarvex-demo [path/to/tarvex-bench]
set -u
declare -A tool=([dump]=$1 [send]=$2 [demo]=$3)
[ -n "${4:-}" ] && tool[bench]=$4
work=$(mktemp -d /tmp/tarvex-bad-input.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Files that tarvex-send --file must refuse before it connects; WORK in the
# table stands for their directory.
mkdir "$work/dir"
: >"$work/empty"
echo 'a text file, not records of the link' >"$work/text"
printf 'abc' >"$work/short"

# tool | arguments (split at blanks) | first line of standard error (extended regex)
table=$(cat <<'EOF'
dump | --listen -1                          | --listen wants a port from 0 \(a free one\) to 65535 \(decimal\), not '-1'$
dump | --listen 70000                       | --listen wants a port from 0 .* not '70000'$
dump | --listen 010                         | --listen wants a port .*\(decimal\), not '010'$
dump | --listen 0x1f                        | --listen wants a port .* not '0x1f'$
dump | --listen 99999999999999999999999     | --listen wants a port .* not '99999999999999999999999'$
dump | --connect localhost:0                | --connect wants HOST:PORT with a port from 1 to 65535 \(decimal\), not 'localhost:0'$
dump | --connect localhost:65536            | --connect wants HOST:PORT .* not 'localhost:65536'$
dump | --connect localhost:-5               | --connect wants HOST:PORT .* not 'localhost:-5'$
dump | --connect localhost                  | --connect wants HOST:PORT .* not 'localhost'$
dump | --connect localhost:0100             | --connect wants HOST:PORT .* not 'localhost:0100'$
dump | --ring 17179869184G                  | --ring wants a byte count from 1 to 64G .* not '17179869184G'$
dump | --ring 18446744073709551616          | --ring wants a byte count .* not '18446744073709551616'$
dump | --ring -1K                           | --ring wants a byte count .* not '-1K'$
dump | --ring 0                             | --ring wants a byte count from 1 .* not '0'$
dump | --ring 0x100                         | --ring wants a byte count .* not '0x100'$
dump | --ring 4KB                           | --ring wants a byte count .* not '4KB'$
dump | --max 2G                             | --max wants a byte count from 0 to 1G .* not '2G'$
dump | --hex -1                             | --hex wants a whole number from 0 to 1073741824 \(decimal\), not '-1'$
dump | --hex 16x                            | --hex wants a whole number .* not '16x'$
dump | --count -3                           | --count wants a whole number of at least 0 \(decimal\), not '-3'$
dump | --count 9223372036854775808          | --count wants a whole number .* not '9223372036854775808'$
dump | --connect 127.0.0.1:5000 --wait -1   | --wait wants a number from 0 to .* not '-1'$
dump | --connect 127.0.0.1:5000 --wait nan  | --wait wants a number .* not 'nan'$
dump | --wait 3                             | --wait applies only when connecting$
dump | --connect 127.0.0.1:5000 --bigend    | --bigend applies only when listening
dump | --listen 0 --connect 127.0.0.1:5000  | --listen and --connect exclude each other$
dump | --images --spectra                   | --images and --spectra exclude each other$
dump | --save /nonexistent-dir/records.bin  | --save /nonexistent-dir/records.bin: No such file or directory$
dump | --no-such-option                     | unknown option --no-such-option$
dump | --count                              | --count needs a value \(N\)$
dump | --quiet=yes                          | --quiet takes no value$
dump | stray                                | unexpected argument 'stray'$
dump | --bind-addr 127.0.0.300              | --bind-addr wants an IPv4 address \(a\.b\.c\.d\), not '127\.0\.0\.300'$
dump | --bind-addr localhost                | --bind-addr wants an IPv4 address .* not 'localhost'$
dump | --connect :5000 --bind-addr 127.0.0.1 | --bind-addr applies only when listening on TCP \(not with --unix\)$
dump | --unix --bind-addr 127.0.0.1         | --bind-addr applies only when listening on TCP
dump | --allow-peers 10.0.0.0/33            | --allow-peers wants IPv4 addresses and CIDR blocks, comma-separated .* not '10\.0\.0\.0/33'$
dump | --allow-peers 127.0.0.1,,10.0.0.1    | --allow-peers wants IPv4 addresses .* not '127\.0\.0\.1,,10\.0\.0\.1'$
dump | --allow-peers ::1                    | --allow-peers wants IPv4 addresses .* not '::1'$
dump | --unix --allow-peers 127.0.0.1       | --allow-peers applies only when listening on TCP
dump | --allow-uids self                    | --allow-uids applies only with --unix$
dump | --unix --allow-uids me               | --allow-uids wants self, or user ids, comma-separated, not 'me'$
dump | --unix --allow-uids -1               | --allow-uids wants self, or user ids.* not '-1'$
dump | --sock-dir /tmp                      | --sock-dir applies only with --unix$
dump | --unix --sock-dir /nonexistent-dir   | --sock-dir /nonexistent-dir: No such file or directory$
dump | --unix --sock-dir /dev/null          | --sock-dir /dev/null: Not a directory$
dump | --unix --sock-mode 0800              | --sock-mode wants an octal file mode from 0001 to 0777 \(e\.g\. 0600\), not '0800'$
dump | --unix --sock-mode 0000              | --sock-mode wants an octal file mode .* not '0000'$
dump | --unix --sock-mode 60                | --sock-mode wants an octal file mode .* not '60'$
dump | --unix --sock-mode 01777             | --sock-mode wants an octal file mode .* not '01777'$
dump | --sock-mode 0600                     | --sock-mode applies only when listening with --unix$
dump | --max-record 0                       | --max-record wants a byte count from 1 to 4G .* not '0'$
dump | --max-record 5G                      | --max-record wants a byte count from 1 to 4G .* not '5G'$
dump | --record-timeout 0                   | --record-timeout wants a whole number from 1 to 2147483647 \(decimal\), not '0'$
dump | --record-timeout 2147483648          | --record-timeout wants a whole number .* not '2147483648'$
dump | --preamble-timeout 100               | --preamble-timeout applies only when connecting$
dump | --connect :5000 --reuse-addr         | --reuse-addr applies only when listening$
send | --preamble-timeout -1                | --preamble-timeout wants a whole number from 1 to 2147483647 .* not '-1'$
send | --preamble-timeout 1s                | --preamble-timeout wants a whole number .* not '1s'$
send | --max-record 1M                      | unknown option --max-record$
send | --record-timeout 100                 | unknown option --record-timeout$
send | --allow-peers 127.0.0.1              | --allow-peers applies only when listening on TCP
send | --listen 0 --preamble-timeout 100    | --preamble-timeout applies only when connecting$
send | --reuse-addr                         | --reuse-addr applies only when listening$
send | --size 4                             | --size wants a byte count from 8 to 1G .* not '4'$
send | --size 17179869184G                  | --size wants a byte count .* not '17179869184G'$
send | --count -3                           | --count wants a whole number of at least 1 \(decimal\), not '-3'$
send | --count 0                            | --count wants a whole number of at least 1 .* not '0'$
send | --count 012                          | --count wants a whole number .* not '012'$
send | --kind image --ack                   | --ack is not for images or spectra
send | --kind event2010,spectrum --ack      | --ack is not for images or spectra
send | --kind event2011                     | unknown --kind
send | --rate -5                            | --rate wants a number from 0.001 .* not '-5'$
send | --rate inf                           | --rate wants a number .* not 'inf'$
send | --pieces 0                           | --pieces wants a whole number from 1 to 16 \(decimal\), not '0'$
send | --pieces 17                          | --pieces wants a whole number from 1 to 16 .* not '17'$
send | --first 4294967296                   | --first wants a whole number from 0 to 4294967295 .* not '4294967296'$
send | --listen 65536                       | --listen wants a port .* not '65536'$
send | --connect :0                         | --connect wants HOST:PORT .* not ':0'$
send | --bigend                             | --bigend applies only when listening
send | --listen 0 --wait 2                  | --wait applies only when connecting$
send | --file /nonexistent-dir/records.bin  | --file /nonexistent-dir/records.bin: No such file or directory$
send | --file /dev/null --kind image,spectrum | --file takes one --kind
send | --file /dev/null --size 100          | --size applies to synthetic records only, not with --file$
send | --file /dev/null --first 3           | --first applies to synthetic records only, not with --file$
send | --file WORK/dir                      | --file WORK/dir: Is a directory$
send | --file /dev/null                     | --file /dev/null: not a regular file$
send | --file WORK/empty                    | --file WORK/empty: the file is empty$
send | --file WORK/text                     | --file WORK/text: record 0: 0x[0-9a-f]{8} is not the pattern of an event or slow-data record$
send | --file WORK/text --kind spectrum     | --file WORK/text: record 0: 0x[0-9a-f]{8} is not the pattern of an image or spectrum intro$
send | --file WORK/short                    | --file WORK/short: record 0: the file ends inside a header$
demo | --quick=1                            | --quick takes no value$
demo | --no-such-option                     | unknown option --no-such-option$
EOF
)

trim() {  # trim VAR: strips the blanks around the value of VAR
  local -n v=$1
  v=${v#"${v%%[! ]*}"}
  v=${v%"${v##*[! ]}"}
}

rows=0
while IFS='|' read -r name args message; do
  trim name
  trim args
  trim message
  [ -n "$name" ] || continue
  args=${args//WORK/$work}
  message=${message//WORK/$work}
  rows=$((rows + 1))
  # Bounded: a tool that accepted the input would wait for a peer.
  # shellcheck disable=SC2086
  timeout 10 "${tool[$name]}" $args >"$work/out" 2>"$work/err"
  code=$?
  IFS= read -r first <"$work/err"
  [ "$code" -eq 2 ] || fail "tarvex-$name $args: exit status $code, expected 2 (stderr: $first)"
  [[ $first =~ ^tarvex-$name:\ $message ]] ||
    fail "tarvex-$name $args: message '$first' does not match 'tarvex-$name: $message'"
  [ -s "$work/out" ] && fail "tarvex-$name $args: wrote to standard output: $(head -n 2 "$work/out")"
done <<<"$table"

# --version on every tool: the version of the library, exit 0.
for name in "${!tool[@]}"; do
  out=$("${tool[$name]}" --version 2>&1)
  code=$?
  [ "$code" -eq 0 ] || fail "tarvex-$name --version: exit status $code"
  echo "$out" | grep -qE "^tarvex-$name \(Tarvex\) [0-9]+\.[0-9]+\.[0-9]+$" ||
    fail "tarvex-$name --version printed '$out'"
  "${tool[$name]}" --help | grep -q -- '--version' || fail "tarvex-$name --help does not list --version"
done

# Nobody listens on port 1: the sender retries for 2.5 s and reports that once
# a second (3 lines), the link's own failure line once, then the status.
timeout 20 "${tool[send]}" --connect 127.0.0.1:1 --wait 2.5 >"$work/out" 2>"$work/err"
code=$?
[ "$code" -eq 1 ] || fail "send without receiver: exit status $code, expected 1"
waiting=$(grep -cE '^tarvex-send: nobody listens on 127\.0\.0\.1:1 yet \(Connect\(2\): connect failed, socket released: Connection refused\); trying for [0-9]+ s more$' "$work/err")
[ "$waiting" -ge 2 ] && [ "$waiting" -le 4 ] || fail "send without receiver: $waiting lines of waiting, expected about 3"
library=$(grep -c '^Connect(2): connect failed, socket released: ' "$work/err")
[ "$library" -eq 1 ] || fail "send without receiver: the link's failure line shown $library times, expected once"
grep -q '^tarvex-send: Connect: ERR_CONNECT (3), ' "$work/err" || fail "send without receiver: no final status line"
[ "$(wc -l <"$work/err")" -le 6 ] || fail "send without receiver: $(wc -l <"$work/err") lines on standard error"

if [ "$failures" -ne 0 ]; then
  echo "--- last standard error:"
  cat "$work/err"
  echo "$failures failure(s)"
  exit 1
fi
echo "ok: $rows bad inputs refused with exit status 2, --version on ${#tool[@]} tools, connect retries reported once a second"
