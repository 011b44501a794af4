#!/usr/bin/env bash
# The pel32 demo, in one command on a fresh Debian machine (as root):
#
#   bash scripts/demo.sh
#
# Installs what is missing, builds the library and the pelmail tool (Release,
# into build/), starts a real SMTP server (aiosmtpd) and a real POP3 server
# (Dovecot) on loopback ports with throw-away configuration, sends a message
# with a text and two attachments with `pelmail send`, lists and fetches it
# back with `pelmail list` and `pelmail fetch`, and shows that both
# attachments arrived byte-identical. The servers are stopped at the end,
# also when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
# The build directory; build/ unless PEL32_BUILD_DIR names another one.
BUILD=${PEL32_BUILD_DIR:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac

step() { printf '\n== %s\n' "$*"; }

# ---------------------------------------------------------------- packages
packages=(cmake g++ make python3-aiosmtpd dovecot-pop3d)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: the packages ${missing[*]} are missing; run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

# ---------------------------------------------------------------- build
step "building (Release, into ${BUILD#"$ROOT"/}/)"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPEL32_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target pelmail -j"$(nproc)" >/dev/null
PELMAIL=$BUILD/pelmail
echo "built $PELMAIL"

# ---------------------------------------------------------------- servers
WORK=$BUILD/demo
SERVERS=$WORK/servers
rm -rf "$WORK"
mkdir -p "$WORK/files"
stop_servers() { bash "$ROOT/scripts/servers/stop.sh" "$SERVERS" || true; }
trap stop_servers EXIT

step "starting the mail servers on loopback"
bash scripts/servers/start.sh "$SERVERS"
# shellcheck disable=SC1091
source "$SERVERS/servers.env"

# The tool runs from the demo directory with short relative paths: the
# library keeps the paths it writes within 128 characters.
cd "$WORK"

# ---------------------------------------------------------------- send
step "making two attachments"
head -c 300000 /dev/urandom >files/random.bin
{
  echo "Quarterly figures"
  for i in $(seq 1 40); do echo "line $i: $((i * i)) units, all fine"; done
} >files/report.txt
ls -l files

step "pelmail send"
"$PELMAIL" send --server "127.0.0.1:$SMTP_PORT" \
  --from 'Demo Sender <sender@example.org>' \
  --to 'Demo Reader <reader@example.org>' \
  --subject 'pel32 demo: two attachments' \
  --text $'Hello,\n\nthis message was sent by pelmail and carries two attachments.\n' \
  --attach 'files/random.bin|data.bin,files/report.txt'

# ---------------------------------------------------------------- list, fetch
step "pelmail list"
"$PELMAIL" list --server "127.0.0.1:$POP3_PORT" --user "$POP3_USER" --password "$POP3_PASSWORD"

step "pelmail fetch"
"$PELMAIL" fetch --server "127.0.0.1:$POP3_PORT" --user "$POP3_USER" --password "$POP3_PASSWORD" \
  --dir fetched

# ---------------------------------------------------------------- compare
step "checksums (MD5), sent and fetched side by side"
status=0
printf '%-51s   %s\n' "sent" "fetched"
compare() {
  local sent=$1 got=$2 a b verdict=identical
  a=$(md5sum <"$sent" | cut -d' ' -f1)
  b=$( (md5sum <"$got" | cut -d' ' -f1) 2>/dev/null || echo "(missing)")
  # The byte comparison decides; the checksums are there to be seen.
  if ! cmp -s "$sent" "$got"; then
    verdict=DIFFERENT
    status=1
  fi
  printf '%-18s %-32s   %-22s %-32s   %s\n' "$sent" "$a" "$got" "$b" "$verdict"
}
compare files/random.bin fetched/1/data.bin
compare files/report.txt fetched/1/report.txt

step "the fetched message (first lines)"
head -n 12 fetched/1.eml

if [ $status -ne 0 ]; then
  echo "demo.sh: an attachment did not arrive intact" >&2
  exit 1
fi
printf '\nDemo finished: both attachments arrived byte-identical (files in %s).\n' "$WORK"
