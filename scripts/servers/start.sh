#!/bin/bash
# Starts an SMTP server (aiosmtpd) and a POP3 server (Dovecot) on free
# loopback ports for the integration tests, both on one Maildir: a message
# sent over SMTP can be fetched over POP3. Everything they need is made anew
# for each run; stop.sh DIR stops them and removes it.
#
#   start.sh DIR
#
# DIR receives servers.env (read by the tests), the logs, pid files and the
# raw DATA captures. The Maildir, the Dovecot configuration and its sockets
# live in a short directory under /tmp (named in DIR/rundir): the unprivileged
# mail user must reach the Maildir through every parent directory, which DIR
# cannot promise, and socket paths are limited to 108 bytes.
#
# Needs the Debian packages python3-aiosmtpd and dovecot-pop3d.
set -euo pipefail

die() {
  echo "start.sh: $*" >&2
  exit 1
}

[ $# -eq 1 ] || die "usage: start.sh DIR"
HERE=$(cd "$(dirname "$0")" && pwd)
PYTHON=/usr/bin/python3 # aiosmtpd is installed for the system interpreter only
mkdir -p "$1"
DIR=$(cd "$1" && pwd)
POP3_USER=pel
POP3_PASSWORD=secret

[ -x "$PYTHON" ] || die "$PYTHON is missing"
"$PYTHON" -c 'import aiosmtpd' 2>/dev/null ||
  die "aiosmtpd is not installed for $PYTHON (Debian package python3-aiosmtpd)"
DOVECOT=$(PATH=$PATH:/usr/sbin:/sbin command -v dovecot || true)
[ -n "$DOVECOT" ] || die "dovecot is not installed (Debian package dovecot-pop3d)"
[ -x /usr/lib/dovecot/pop3 ] || die "Dovecot's POP3 server is not installed (Debian package dovecot-pop3d)"
for account in nobody dovecot dovenull; do
  getent passwd "$account" >/dev/null || die "user $account does not exist"
done
getent group nogroup >/dev/null || die "group nogroup does not exist"

# A run left behind by an earlier start is stopped first.
bash "$HERE/stop.sh" "$DIR" || die "could not stop the servers of an earlier run"

# From here on, a failure stops whatever was started.
trap 'bash "$HERE/stop.sh" "$DIR" >/dev/null 2>&1 || true' EXIT

rm -rf "$DIR/smtp-capture"
rm -f "$DIR"/aiosmtpd.log "$DIR"/dovecot.log "$DIR"/dovecot.out
mkdir -p "$DIR/smtp-capture"

RUN=$(mktemp -d /tmp/pel32.XXXXXX)
chmod 0755 "$RUN"
echo "$RUN" >"$DIR/rundir"
MAILDIR=$RUN/Maildir
mkdir -p "$MAILDIR/new" "$MAILDIR/cur" "$MAILDIR/tmp" "$RUN/mail" "$RUN/home"
chown -R nobody:nogroup "$MAILDIR" "$RUN/mail" "$RUN/home"
chmod 0755 "$MAILDIR" "$MAILDIR/new" "$MAILDIR/cur" "$MAILDIR/tmp"

# Two distinct ports that are free now (ephemeral ones, never 25 or 110).
read -r SMTP_PORT POP3_PORT < <("$PYTHON" -c '
import socket
socks = [socket.socket() for _ in range(2)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))
')
echo "$SMTP_PORT $POP3_PORT" >"$DIR/ports"

echo "$POP3_USER:{PLAIN}$POP3_PASSWORD::::$RUN/home::" >"$RUN/passwd"
chown root:dovecot "$RUN/passwd"
chmod 0640 "$RUN/passwd"

cat >"$RUN/dovecot.conf" <<EOF
# Throw-away POP3 server for the pel32 tests; its own names and directories
# keep it apart from any system instance.
instance_name = $(basename "$RUN")
base_dir = $RUN/run
state_dir = $RUN/state
log_path = $DIR/dovecot.log

protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
# A failed login is answered within half a second instead of after two.
auth_failure_delay = 0

# Dovecot refuses to read mail as root.
mail_uid = nobody
mail_gid = nogroup
mail_location = maildir:$MAILDIR:INDEX=$RUN/mail/index:CONTROL=$RUN/mail/control

passdb {
  driver = passwd-file
  args = scheme=PLAIN $RUN/passwd
}
userdb {
  driver = passwd-file
  args = $RUN/passwd
}

# Without access to this socket the auth process keeps no penalty per client
# address, which would otherwise delay every login after a failed one by
# several seconds.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}

service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $POP3_PORT
  }
  inet_listener pop3s {
    port = 0
  }
}
EOF

# setsid gives each server a process group of its own, which stop.sh ends as
# a whole; no standard stream stays tied to the caller (ctest waits on them).
setsid "$DOVECOT" -F -c "$RUN/dovecot.conf" </dev/null >"$DIR/dovecot.out" 2>&1 &
echo $! >"$DIR/dovecot.pid"

PYTHONPATH=$HERE PYTHONDONTWRITEBYTECODE=1 setsid "$PYTHON" -m aiosmtpd -n \
  -l "127.0.0.1:$SMTP_PORT" -c maildir_handler.MaildirHandler "$MAILDIR" "$DIR/smtp-capture" \
  </dev/null >"$DIR/aiosmtpd.log" 2>&1 &
echo $! >"$DIR/aiosmtpd.pid"

# Ready means: SMTP greets with 220, and POP3 greets, logs the user in and
# reports the (empty) mailbox; that also proves the mail user reaches it.
if ! "$PYTHON" - "$SMTP_PORT" "$POP3_PORT" "$POP3_USER" "$POP3_PASSWORD" \
  "$(cat "$DIR/aiosmtpd.pid")" "$(cat "$DIR/dovecot.pid")" <<'EOF'; then
import os, socket, sys, time

smtp_port, pop3_port = int(sys.argv[1]), int(sys.argv[2])
user, password = sys.argv[3], sys.argv[4]
pids = {"aiosmtpd": int(sys.argv[5]), "dovecot": int(sys.argv[6])}


def alive(pid):
    # An exited server stays a zombie until this script's shell reaps it.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def talk(port, commands):
    with socket.create_connection(("127.0.0.1", port), timeout=3) as s:
        f = s.makefile("rb")
        replies = [f.readline().decode("latin-1").rstrip()]
        for command in commands:
            s.sendall(command.encode() + b"\r\n")
            replies.append(f.readline().decode("latin-1").rstrip())
        return replies


deadline = time.monotonic() + 20
problem = "not tried"
while True:
    for name, pid in pids.items():
        if not alive(pid):
            sys.exit("%s exited during start-up" % name)
    try:
        smtp = talk(smtp_port, ["QUIT"])
        pop3 = talk(pop3_port, ["USER " + user, "PASS " + password, "STAT", "QUIT"])
        if not smtp[0].startswith("220"):
            problem = "SMTP greeting %r" % smtp[0]
        elif not all(r.startswith("+OK") for r in pop3[:4]):
            problem = "POP3 dialogue %r" % pop3
        else:
            sys.exit(0)
    except OSError as e:
        problem = str(e)
    if time.monotonic() > deadline:
        sys.exit("servers not ready after 20 s: " + problem)
    time.sleep(0.05)
EOF
  for log in aiosmtpd.log dovecot.out dovecot.log; do
    [ -s "$DIR/$log" ] && { echo "--- $DIR/$log" >&2; tail -n 20 "$DIR/$log" >&2; }
  done
  die "the mail servers did not start"
fi

cat >"$DIR/servers.env.tmp" <<EOF
SMTP_PORT=$SMTP_PORT
POP3_PORT=$POP3_PORT
POP3_USER=$POP3_USER
POP3_PASSWORD=$POP3_PASSWORD
MAILDIR=$MAILDIR
CAPTURE_DIR=$DIR/smtp-capture
EOF
mv "$DIR/servers.env.tmp" "$DIR/servers.env"
trap - EXIT
echo "mail servers ready: SMTP 127.0.0.1:$SMTP_PORT, POP3 127.0.0.1:$POP3_PORT ($DIR/servers.env)"
