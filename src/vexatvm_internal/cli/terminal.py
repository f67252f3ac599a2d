"""What the command shows on the terminal while it works, and what it holds back of TVM's."""

import os
import sys
import tempfile
from typing import IO, Optional

from .common import PROG


class Status:
    """One status line on stderr while the command works, on a terminal only.
    It writes to its own copy of the terminal, which a hold on TVM's log
    output does not catch."""

    def __init__(self, enabled):
        self.enabled = False
        try:
            if enabled and sys.stderr.isatty():
                self.stream = open(os.dup(sys.stderr.fileno()), "w", encoding="utf-8")  # pylint: disable=consider-using-with
                self.enabled = True
        except (OSError, ValueError, AttributeError):
            pass

    def show(self, text):
        if self.enabled:
            self.stream.write(f"\r\033[K{PROG}: {text}...")
            self.stream.flush()

    def clear(self):
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()


class HeldTvmLog:
    """Holds back the layout-conversion warnings TVM's C++ code writes to
    file descriptor 2 while the graph is prepared; every other line it wrote
    is passed on. ``release`` (idempotent) ends the hold."""

    NOISE = "Desired layout(s) not specified for op"

    def __init__(self, hold):
        self.hold = hold
        self.saved: Optional[int] = None
        self.file: Optional[IO[bytes]] = None

    def __enter__(self):
        if self.hold:
            try:
                sys.stderr.flush()
                self.file = tempfile.TemporaryFile()
                self.saved = os.dup(2)
                os.dup2(self.file.fileno(), 2)
            except OSError:  # no descriptor 2 to hold: show everything
                self.saved = None
        return self

    def release(self):
        if self.saved is None or self.file is None:
            return
        os.dup2(self.saved, 2)
        os.close(self.saved)
        self.saved = None
        self.file.seek(0)
        text = self.file.read().decode(errors="replace")
        self.file.close()
        kept = [line for line in text.splitlines(keepends=True) if self.NOISE not in line]
        if kept:
            sys.stderr.write("".join(kept))

    def __exit__(self, *exc):
        self.release()
