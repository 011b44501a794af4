#!/usr/bin/env bash
# The pel32 benchmarks, in one command (Debian, as root):
#
#   bash bench/run.sh [--runs N] [--multi-runs N] [--cases send,fetch,multi,syscalls]
#
# Installs what is missing (postfix for its smtp-sink, curl, strace, the
# servers of the tests), builds pelmail and pelbench (Release, into build/,
# or PEL32_BUILD_DIR), starts smtp-sink and the test servers (aiosmtpd and
# Dovecot, scripts/servers/start.sh) on loopback ports, and runs
# bench/bench.py, which prints one table of medians per case, the library
# and its peer side by side with their ratio. The tables are also written to
# build/bench-run/tables.md. Everything started is stopped at the end, also when
# a step fails. Not part of the test command; it takes several minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${PEL32_BUILD_DIR:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
PYTHON=/usr/bin/python3

packages=(cmake g++ make python3-aiosmtpd dovecot-pop3d postfix curl strace time)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Postfix is wanted for its smtp-sink only: no mail system is set up.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
SINK=$(PATH=$PATH:/usr/sbin:/sbin command -v smtp-sink) || {
  echo "run.sh: smtp-sink not found (Debian package postfix)" >&2
  exit 1
}

echo "== building (Release, into ${BUILD#"$ROOT"/}/)"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPEL32_BENCH=ON >/dev/null
cmake --build "$BUILD" --target pelmail pelbench -j"$(nproc)" >/dev/null

WORK=$BUILD/bench-run
SERVERS=$WORK/servers
rm -rf "$WORK"
mkdir -p "$WORK"
SINK_PID=
cleanup() {
  if [ -n "$SINK_PID" ]; then kill "$SINK_PID" 2>/dev/null || true; fi
  bash "$ROOT/scripts/servers/stop.sh" "$SERVERS" || true
}
trap cleanup EXIT

echo "== starting the servers"
bash scripts/servers/start.sh "$SERVERS"
# shellcheck disable=SC1091
source "$SERVERS/servers.env"

SINK_PORT=$("$PYTHON" -c '
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
')
# smtp-sink accepts and drops every message; as root it must drop to a user.
"$SINK" -u nobody "127.0.0.1:$SINK_PORT" 256 </dev/null >"$WORK/smtp-sink.log" 2>&1 &
SINK_PID=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$SINK_PORT") 2>/dev/null && break
  sleep 0.1
done
(exec 3<>"/dev/tcp/127.0.0.1/$SINK_PORT") 2>/dev/null || {
  echo "run.sh: smtp-sink did not start:" >&2
  cat "$WORK/smtp-sink.log" >&2
  exit 1
}
echo "smtp-sink on 127.0.0.1:$SINK_PORT"

echo "== machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)," \
  "$(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
"$PYTHON" bench/bench.py --pelmail "$BUILD/pelmail" --pelbench "$BUILD/bench/pelbench" \
  --work "$WORK/run" --sink-port "$SINK_PORT" --pop3-port "$POP3_PORT" \
  --user "$POP3_USER" --password "$POP3_PASSWORD" --maildir "$MAILDIR" \
  --output "$WORK/tables.md" "$@"
echo "== tables written to $WORK/tables.md"
