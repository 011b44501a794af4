#!/bin/bash
# Stops the mail servers that start.sh DIR started, waits until their ports
# are free and removes their run directory under /tmp. Logs stay in DIR.
# Does nothing when nothing runs; fails when a server or port outlives it.
#
#   stop.sh DIR
set -uo pipefail

die() {
  echo "stop.sh: $*" >&2
  exit 1
}

[ $# -eq 1 ] || die "usage: stop.sh DIR"
[ -d "$1" ] || exit 0
DIR=$(cd "$1" && pwd)

# First, so that no test picks up servers that are going away.
rm -f "$DIR/servers.env"

RUN=$(cat "$DIR/rundir" 2>/dev/null || true)
PORTS=$(cat "$DIR/ports" 2>/dev/null || true)

# The server's process group (setsid made the server its leader), provided
# the pid file still names one of ours and not a process that reused the id.
group_of() {
  local name=$1 marker=$2 pid
  pid=$(cat "$DIR/$name.pid" 2>/dev/null) || return 1
  [[ $pid =~ ^[0-9]+$ ]] && [ -n "$marker" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$marker" || return 1
  echo "$pid"
}

# True while the group has a member that has not exited: zombies do not
# count, since start.sh, when it fails, calls this before reaping its children.
group_alive() {
  local stat fields
  for stat in /proc/[0-9]*/stat; do
    fields=$(cat "$stat" 2>/dev/null) || continue
    read -r -a fields <<<"${fields##*) }"
    [ "${fields[2]:-}" = "$1" ] && [ "${fields[0]}" != Z ] && return 0
  done
  return 1
}

port_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

groups=()
smtp_port=${PORTS%% *}
if group=$(group_of aiosmtpd "127.0.0.1:${smtp_port:-none}"); then groups+=("$group"); fi
if group=$(group_of dovecot "${RUN:-none}/dovecot.conf"); then groups+=("$group"); fi

for group in "${groups[@]}"; do kill -TERM -- "-$group" 2>/dev/null; done
for group in "${groups[@]}"; do
  for _ in $(seq 100); do
    group_alive "$group" || break
    sleep 0.1
  done
  if group_alive "$group"; then
    kill -KILL -- "-$group" 2>/dev/null
    sleep 0.2
    group_alive "$group" && die "process group $group does not end"
  fi
done
rm -f "$DIR/aiosmtpd.pid" "$DIR/dovecot.pid"

for port in $PORTS; do
  for _ in $(seq 100); do
    port_listening "$port" || break
    sleep 0.1
  done
  port_listening "$port" && die "port $port is still in use"
done
rm -f "$DIR/ports"

if [[ $RUN == /tmp/pel32.* ]]; then rm -rf "$RUN"; fi
rm -f "$DIR/rundir"
exit 0
