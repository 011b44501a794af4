"""SMTP handler that stores each message's DATA byte for byte.

Run as: python3 -m aiosmtpd -n -l 127.0.0.1:PORT -c maildir_handler.MaildirHandler MAILDIR CAPTURE_DIR

Every accepted message is written unchanged (the DATA stream after dot
unstuffing, line ends as sent) twice: into MAILDIR/new, where the POP3 server
serves it, and into CAPTURE_DIR, which only the tests read (the POP3 server
moves and deletes the Maildir files). Files are mode 0644 so that the
unprivileged mail user of the POP3 server can read them.
"""

import itertools
import os
import socket
import time

_counter = itertools.count()


def _unique_name():
    # Names sort by arrival, so the tests can read the captures in order.
    return "%020d.P%dQ%d.%s" % (time.time_ns(), os.getpid(), next(_counter), socket.gethostname())


def _write_file(tmp_path, final_path, data):
    # Written aside and renamed, so a reader never sees half a message.
    with open(tmp_path, "wb") as f:
        f.write(data)
    os.chmod(tmp_path, 0o644)
    os.rename(tmp_path, final_path)


class MaildirHandler:
    def __init__(self, maildir, capture_dir):
        self.maildir = maildir
        self.capture_dir = capture_dir

    @classmethod
    def from_cli(cls, parser, *args):
        if len(args) != 2:
            parser.error("MaildirHandler needs two arguments: MAILDIR CAPTURE_DIR")
        for path in (os.path.join(args[0], "new"), os.path.join(args[0], "tmp"), args[1]):
            if not os.path.isdir(path):
                parser.error("not a directory: %s" % path)
        return cls(args[0], args[1])

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content
        name = _unique_name()
        # The capture's temporary name starts with a dot: readers skip those.
        _write_file(os.path.join(self.capture_dir, "." + name),
                    os.path.join(self.capture_dir, name), data)
        _write_file(os.path.join(self.maildir, "tmp", name),
                    os.path.join(self.maildir, "new", name), data)
        return "250 OK"
