#!/usr/bin/python3
"""Checks a message as an SMTP server received it, with Python's own MIME parser.

  check_mime.py MESSAGE --text FILE [--header 'Name: value' ...] [--absent NAME ...]
                [--attach NAME=PATH ...] [--plain]

MESSAGE holds the DATA of one message. The text part decoded (from
quoted-printable unless --plain) must equal FILE with its line ends made LF
and trailing line ends ignored; each attachment, in order, must carry NAME as
its name and filename parameters and decode from base64 to exactly the bytes
of PATH. Prints every difference found and exits 1 when there is one.
"""

import argparse
import email
import email.policy
import email.utils
import sys


def normalised(text):
    return text.replace(b"\r\n", b"\n").replace(b"\r", b"").rstrip(b"\n")


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def check(args):
    problems = []
    with open(args.message, "rb") as f:
        raw = f.read()
    message = email.message_from_bytes(raw, policy=email.policy.compat32)

    for line in args.header:
        name, _, value = line.partition(": ")
        got = message.get_all(name)
        if got != [value]:
            problems.append(f"header {name}: expected [{value!r}], got {got!r}")
    for name in args.absent:
        if message.get(name) is not None:
            problems.append(f"header {name} should be absent, got {message.get(name)!r}")
    date = message.get("Date")
    if date is None or email.utils.parsedate_tz(date) is None:
        problems.append(f"Date header does not parse: {date!r}")

    if args.plain:
        if message.is_multipart():
            problems.append("a plain message arrived as multipart")
        text_part, attachments = message, []
    else:
        if message.get_content_type() != "multipart/mixed":
            problems.append(f"content type {message.get_content_type()!r}")
            return problems
        if message.get("MIME-Version") != "1.0":
            problems.append(f"MIME-Version {message.get('MIME-Version')!r}")
        parts = message.get_payload()
        if not isinstance(parts, list) or not parts:
            problems.append("no parts")
            return problems
        text_part, attachments = parts[0], parts[1:]
        if text_part.get("Content-Transfer-Encoding") != "quoted-printable":
            problems.append("text part is not quoted-printable: "
                            f"{text_part.get('Content-Transfer-Encoding')!r}")
    for part in [message] + (message.get_payload() if message.is_multipart() else []):
        if part.defects:
            problems.append(f"parser defects: {part.defects!r}")

    with open(args.text, "rb") as f:
        expected_text = normalised(f.read())
    got_text = normalised(text_part.get_payload(decode=True) or b"")
    if got_text != expected_text:
        at = first_difference(got_text, expected_text)
        problems.append(f"text differs at byte {at}: got {got_text[at:at + 60]!r}, "
                        f"expected {expected_text[at:at + 60]!r}")

    if len(attachments) != len(args.attach):
        problems.append(f"{len(attachments)} attachments, expected {len(args.attach)}")
    for part, entry in zip(attachments, args.attach):
        name, _, path = entry.partition("=")
        if part.get_filename() != name:
            problems.append(f"filename {part.get_filename()!r}, expected {name!r}")
        if part.get_param("name") != name:
            problems.append(f"name parameter {part.get_param('name')!r}, expected {name!r}")
        if part.get_content_type() != "application/octet-stream":
            problems.append(f"{name}: content type {part.get_content_type()!r}")
        if part.get("Content-Transfer-Encoding") != "base64":
            problems.append(f"{name}: not base64")
        with open(path, "rb") as f:
            expected = f.read()
        got = part.get_payload(decode=True) or b""
        if got != expected:
            problems.append(f"{name}: {len(got)} bytes decoded, {len(expected)} expected, "
                            f"first difference at {first_difference(got, expected)}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("message")
    parser.add_argument("--text", required=True)
    parser.add_argument("--header", action="append", default=[])
    parser.add_argument("--absent", action="append", default=[])
    parser.add_argument("--attach", action="append", default=[])
    parser.add_argument("--plain", action="store_true")
    problems = check(parser.parse_args())
    for p in problems:
        print(p)
    if problems:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
