"""The pel32 benchmarks, run by bench/run.sh (which builds the tools and
starts the servers first; see there for the command line).

Each case runs the library's side and its peer one after the other, several
times, as separate processes; the figures are medians over the runs:

  wall     elapsed time of the process
  cpu      user + system time of the process (GNU time)
  peak rss maximum resident set size of the process (GNU time)
  rate     the case's unit of work per second of wall time

Cases:
  send     one message with a 10 MiB attachment to smtp-sink:
           pelmail send  against  curl smtp:// with the same MIME file
  fetch    one 10 MiB message from Dovecot:
           pelmail fetch (attachment decoded to a file)  against  curl pop3://
  multi    32 channels x 20 small messages to smtp-sink from one thread:
           side by side  against  one channel after another
  memory   peak RSS of pelmail fetch for a 1 MiB and a 100 MiB message
"""

import argparse
import base64
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

MIB = 1 << 20
TIME = "/usr/bin/time"  # GNU time (Debian package time)


def run_measured(argv, cwd=None, stdout_path=None):
    """Runs argv; returns (wall s, cpu s, peak rss KiB, stdout text, stderr text).

    The process is started by GNU time, whose report gives its CPU time and
    peak RSS: a child forked straight from this script would count the
    script's own memory from before its exec in its peak RSS.
    """
    out = open(stdout_path or os.devnull, "wb")
    err_path = os.path.join(args.work, "stderr.txt")
    usage_path = os.path.join(args.work, "usage.txt")
    err = open(err_path, "wb")
    t0 = time.monotonic()
    proc = subprocess.run([TIME, "-f", "%U %S %M", "-o", usage_path] + argv, cwd=cwd,
                          stdout=out, stderr=err, stdin=subprocess.DEVNULL)
    wall = time.monotonic() - t0
    out.close()
    err.close()
    stderr_text = open(err_path, encoding="latin-1").read()
    if proc.returncode != 0:
        sys.exit("bench: %s failed (exit %d):\n%s" % (" ".join(argv), proc.returncode, stderr_text))
    user, system, rss = open(usage_path).read().split()[-3:]
    stdout_text = ""
    if stdout_path:
        stdout_text = open(stdout_path, encoding="latin-1").read()
    return wall, float(user) + float(system), int(rss), stdout_text, stderr_text


class Side:
    """The runs of one side of a case."""

    def __init__(self, name):
        self.name = name
        self.walls, self.cpus, self.rsss = [], [], []
        self.notes = []

    def add(self, wall, cpu, rss):
        self.walls.append(wall)
        self.cpus.append(cpu)
        self.rsss.append(rss)

    def median(self):
        return (statistics.median(self.walls), statistics.median(self.cpus),
                statistics.median(self.rsss))


def table(title, unit, work, lib, peer, lines):
    """Markdown table of the medians of both sides and their ratio (lib / peer)."""
    lw, lc, lr = lib.median()
    pw, pc, pr = peer.median()
    lines.append("### %s\n" % title)
    lines.append("| | %s | %s | ratio |" % (lib.name, peer.name))
    lines.append("|---|---:|---:|---:|")
    lines.append("| wall time (s) | %.3f | %.3f | %.2f |" % (lw, pw, lw / pw))
    lines.append("| CPU time, user+system (s) | %.3f | %.3f | %.2f |" % (lc, pc, lc / max(pc, 1e-6)))
    lines.append("| peak RSS (MiB) | %.1f | %.1f | %.2f |" % (lr / 1024, pr / 1024, lr / pr))
    lines.append("| throughput (%s) | %.2f | %.2f | %.2f |" % (unit, work / lw, work / pw, pw / lw))
    lines.append("")
    lines.append("Runs: %d each; ratio = %s / %s (for throughput: %s / %s)." %
                 (len(lib.walls), lib.name, peer.name, lib.name, peer.name))
    lines.append("Wall times of the runs: %s: %s; %s: %s." % (
        lib.name, ", ".join("%.2f" % w for w in lib.walls),
        peer.name, ", ".join("%.2f" % w for w in peer.walls)))
    for note in lib.notes[:1] + peer.notes[:1]:
        lines.append("")
        lines.append(note)
    lines.append("")
    print("\n".join(lines[table.printed:]), flush=True)
    table.printed = len(lines)


table.printed = 0


def write_attachment(path, size):
    # Random bytes, so that no layer can compress them.
    with open(path, "wb") as f:
        f.write(os.urandom(size))


def mime_message(path, attachment, name, text):
    """A multipart message with `text` and `attachment` in base64, CR LF line ends."""
    data = open(attachment, "rb").read()
    boundary = "=====_bench_boundary_====="
    head = ("From: <bench@example.org>\r\nTo: <sink@example.org>\r\n"
            "Subject: bench %s\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"%s\"\r\n\r\n"
            "--%s\r\nContent-Type: text/plain\r\n\r\n%s\r\n"
            "--%s\r\nContent-Type: application/octet-stream; name=\"%s\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"%s\"\r\n\r\n" %
            (name, boundary, boundary, text, boundary, name, name))
    with open(path, "wb") as f:
        f.write(head.encode())
        for i in range(0, len(data), 57):
            f.write(base64.b64encode(data[i:i + 57]) + b"\r\n")
        f.write(("--%s--\r\n" % boundary).encode())


def message_of_size(path, attachment, name, total):
    """Writes an attachment and a message around it that is `total` bytes long."""
    # base64 lines carry 57 bytes in 78 characters; the header is small.
    raw = int((total - 600) * 57 / 78)
    write_attachment(attachment, raw)
    mime_message(path, attachment, name, "A message of %d bytes." % total)
    size = os.path.getsize(path)
    # Pad the text part so that the message has exactly the size asked for.
    if size < total:
        data = open(path, "rb").read()
        marker = b"A message of"
        at = data.index(marker)
        pad = total - size
        data = data[:at] + b"x" * pad + data[at:]
        open(path, "wb").write(data)
    return os.path.getsize(path)


def put_in_maildir(maildir, message, name):
    tmp = os.path.join(maildir, "tmp", name)
    shutil.copyfile(message, tmp)
    os.chmod(tmp, 0o644)
    os.rename(tmp, os.path.join(maildir, "new", name))


def loop_note(stderr_text):
    m = re.search(r"drive loop: .*", stderr_text)
    return "One library run, pelmail --stats: %s." % m.group(0) if m else ""


def case_send(lines):
    att = os.path.join(args.work, "att10.bin")
    eml = os.path.join(args.work, "msg10.eml")
    write_attachment(att, 10 * MIB)
    mime_message(eml, att, "att10.bin", "One attachment of 10 MiB.")
    lib, peer = Side("pel32 (pelmail send)"), Side("curl")
    sink = "127.0.0.1:%d" % args.sink_port
    for _ in range(args.runs):
        w, c, r, _, err = run_measured([
            args.pelmail, "send", "--quiet", "--stats", "--server", sink,
            "--from", "<bench@example.org>", "--to", "<sink@example.org>",
            "--subject", "bench send", "--text", "One attachment of 10 MiB.",
            "--attach", att])
        lib.add(w, c, r)
        lib.notes.append(loop_note(err))
        w, c, r, _, _ = run_measured([
            "curl", "-sS", "smtp://" + sink, "--mail-from", "bench@example.org",
            "--mail-rcpt", "sink@example.org", "-T", eml])
        peer.add(w, c, r)
    table("Send one message with a 10 MiB attachment to smtp-sink (message of %.1f MB)"
          % (os.path.getsize(eml) / 1e6), "attachment MiB/s", 10.0, lib, peer, lines)


def message_numbers():
    """Message number by size, from `pelmail list`."""
    out = os.path.join(args.work, "list.txt")
    _, _, _, text, _ = run_measured([
        args.pelmail, "list", "--server", "127.0.0.1:%d" % args.pop3_port,
        "--user", args.user, "--password", args.password], stdout_path=out)
    numbers = {}
    for line in text.splitlines()[1:]:
        number, size, _ = line.split(" ", 2)
        numbers[int(size)] = int(number)
    return numbers


def fetch_lib(number, outdir, side):
    shutil.rmtree(outdir, ignore_errors=True)
    w, c, r, _, err = run_measured([
        args.pelmail, "fetch", "--quiet", "--stats", "--server", "127.0.0.1:%d" % args.pop3_port,
        "--user", args.user, "--password", args.password, "--message", str(number),
        "--dir", os.path.relpath(outdir, args.work)], cwd=args.work)
    side.add(w, c, r)
    side.notes.append(loop_note(err))


def case_fetch_and_memory(lines):
    sizes = {"1m": 1 * MIB, "10m": 10 * MIB, "100m": 100 * MIB}
    atts, emls = {}, {}
    for key, total in sizes.items():
        atts[key] = os.path.join(args.work, "fetch%s.bin" % key)
        emls[key] = os.path.join(args.work, "fetch%s.eml" % key)
        got = message_of_size(emls[key], atts[key], "fetch%s.bin" % key, total)
        assert got == total, (key, got, total)
        put_in_maildir(args.maildir, emls[key], "%d.M%s.bench" % (time.time_ns(), key))
    numbers = message_numbers()
    for key, total in sizes.items():
        if total not in numbers:
            sys.exit("bench: the %s message (%d bytes) is not listed: %s" % (key, total, numbers))

    # The decoded attachment must be the original, once, before timing.
    outdir = os.path.join(args.work, "f")
    check = Side("check")
    fetch_lib(numbers[sizes["10m"]], outdir, check)
    saved = os.path.join(outdir, str(numbers[sizes["10m"]]), "fetch10m.bin")
    if open(saved, "rb").read() != open(atts["10m"], "rb").read():
        sys.exit("bench: the fetched attachment differs from the original")

    lib, peer = Side("pel32 (pelmail fetch)"), Side("curl")
    n10 = numbers[sizes["10m"]]
    url = "pop3://%s:%s@127.0.0.1:%d/%d" % (args.user, args.password, args.pop3_port, n10)
    for _ in range(args.runs):
        fetch_lib(n10, outdir, lib)
        w, c, r, _, _ = run_measured(["curl", "-sS", url, "-o", os.path.join(args.work, "c.eml")])
        peer.add(w, c, r)
    table("Fetch one 10 MiB message from Dovecot", "MiB/s", 10.0, lib, peer, lines)

    small, large = Side("1 MiB message"), Side("100 MiB message")
    for _ in range(max(3, args.runs // 2)):
        fetch_lib(numbers[sizes["1m"]], outdir, small)
        fetch_lib(numbers[sizes["100m"]], outdir, large)
    s_rss, l_rss = statistics.median(small.rsss), statistics.median(large.rsss)
    verdict = "PASS" if abs(l_rss - s_rss) <= 1024 else "FAIL"
    lines.append("### Peak memory of pelmail fetch: 1 MiB against 100 MiB message\n")
    lines.append("| | 1 MiB message | 100 MiB message | difference |")
    lines.append("|---|---:|---:|---:|")
    lines.append("| peak RSS (KiB) | %d | %d | %d |" % (s_rss, l_rss, l_rss - s_rss))
    lines.append("| wall time (s) | %.2f | %.2f | |" % (statistics.median(small.walls),
                                                     statistics.median(large.walls)))
    lines.append("| CPU time (s) | %.2f | %.2f | |" % (statistics.median(small.cpus),
                                                    statistics.median(large.cpus)))
    lines.append("")
    lines.append("Same within 1 MiB: %s (runs: %d each; peak RSS of the runs: %s / %s KiB)." %
                 (verdict, len(small.rsss), ", ".join(map(str, small.rsss)),
                  ", ".join(map(str, large.rsss))))
    lines.append("")
    print("\n".join(lines[table.printed:]), flush=True)
    table.printed = len(lines)
    return verdict == "PASS"


def case_multi(lines):
    lib, peer = Side("side by side, one thread"), Side("one channel after another")
    base = [args.pelbench, "--server", "127.0.0.1:%d" % args.sink_port,
            "--channels", "32", "--messages", "20"]
    for _ in range(args.multi_runs):
        w, c, r, out, _ = run_measured(base + ["--mode", "parallel"],
                                       stdout_path=os.path.join(args.work, "multi.txt"))
        lib.add(w, c, r)
        lib.notes.append("Side by side: " + out.strip())
        w, c, r, out, _ = run_measured(base + ["--mode", "sequential"],
                                       stdout_path=os.path.join(args.work, "multi.txt"))
        peer.add(w, c, r)
        peer.notes.append("One after another: " + out.strip())
    table("32 channels x 20 small messages to smtp-sink (640 messages)", "messages/s", 640.0,
          lib, peer, lines)


def syscalls(lines):
    """System calls of one library run and one curl run per transfer (strace -c)."""
    if not shutil.which("strace"):
        lines.append("(strace is not installed: no system call profile)")
        return
    att = os.path.join(args.work, "att10.bin")
    eml = os.path.join(args.work, "msg10.eml")
    if not os.path.exists(eml):
        write_attachment(att, 10 * MIB)
        mime_message(eml, att, "att10.bin", "One attachment of 10 MiB.")
    sink = "127.0.0.1:%d" % args.sink_port
    numbers = message_numbers()
    n10 = numbers.get(10 * MIB)
    runs = [
        ("pelmail send 10 MiB", [args.pelmail, "send", "--quiet", "--server", sink, "--from",
                                 "<bench@example.org>", "--to", "<sink@example.org>",
                                 "--text", "x", "--attach", att]),
        ("curl smtp 10 MiB", ["curl", "-sS", "smtp://" + sink, "--mail-from",
                              "bench@example.org", "--mail-rcpt", "sink@example.org", "-T", eml]),
    ]
    if n10:
        runs += [
            ("pelmail fetch 10 MiB", [args.pelmail, "fetch", "--quiet", "--server",
                                      "127.0.0.1:%d" % args.pop3_port, "--user", args.user,
                                      "--password", args.password, "--message", str(n10),
                                      "--dir", "s"]),
            ("curl pop3 10 MiB", ["curl", "-sS", "pop3://%s:%s@127.0.0.1:%d/%d" % (
                args.user, args.password, args.pop3_port, n10), "-o", "c.eml"]),
        ]
    lines.append("### System calls (strace -c -f, one run each)\n")
    for name, argv in runs:
        report = os.path.join(args.work, "strace.txt")
        subprocess.run(["strace", "-c", "-f", "-o", report] + argv, cwd=args.work, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        rows = []
        total = 0
        for line in open(report):
            parts = line.split()
            if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
                calls = int(parts[3])
                rows.append((calls, parts[-1]))
            if parts and parts[-1] == "total":
                total = int(parts[2] if len(parts) == 4 else parts[3])
        rows.sort(reverse=True)
        top = ", ".join("%s %d" % (n, c) for c, n in rows[:6])
        lines.append("- %s: %d calls in all; most: %s" % (name, total, top))
    lines.append("")
    print("\n".join(lines[table.printed:]), flush=True)
    table.printed = len(lines)


def main():
    global args
    p = argparse.ArgumentParser()
    p.add_argument("--pelmail", required=True)
    p.add_argument("--pelbench", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--sink-port", type=int, required=True)
    p.add_argument("--pop3-port", type=int, required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--maildir", required=True)
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--multi-runs", type=int, default=3)
    p.add_argument("--cases", default="send,fetch,multi,syscalls")
    p.add_argument("--output", help="also write the tables to this file")
    args = p.parse_args()
    os.makedirs(args.work, exist_ok=True)
    cases = args.cases.split(",")
    lines = []
    ok = True
    if "send" in cases:
        case_send(lines)
    if "fetch" in cases:
        ok = case_fetch_and_memory(lines) and ok
    if "multi" in cases:
        case_multi(lines)
    if "syscalls" in cases:
        syscalls(lines)
    if args.output:
        with open(args.output, "w") as f:
            f.write("\n".join(lines) + "\n")
    return 0 if ok else 1


args = None
if __name__ == "__main__":
    sys.exit(main())
