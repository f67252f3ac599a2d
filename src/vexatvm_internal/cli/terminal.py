"""What the command shows on the terminal while it works, and what it holds back of TVM's."""

import logging
import os
import sys
import tempfile
from typing import IO, Optional

from . import interrupts
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
        # Every stage starts here, in the command's own code: the point to
        # stop at on a Ctrl-C that came while TVM held the interpreter.
        if interrupts.pending():
            self.clear()
            interrupts.checkpoint()
        if self.enabled:
            self.stream.write(f"\r\033[K{PROG}: {text}...")
            self.stream.flush()

    def clear(self):
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()


class _Advice(logging.Filter):
    """Lets only errors through."""

    def filter(self, record):
        return record.levelno >= logging.ERROR


class HeldTvmLog:
    """Holds back the layout-conversion warnings TVM's C++ code writes to
    file descriptor 2 while the graph is prepared; every other line it wrote
    is passed on, unless the command was interrupted. Also holds back the
    warnings of TVM's Python loggers that advise on CPU kernels (untuned,
    NHWC not optimized for x86: a dozen per build for --verify). ``release``
    (idempotent) ends the hold."""

    NOISE = "Desired layout(s) not specified for op"
    ADVISING_LOGGERS = ("strategy", "autotvm", "te_compiler", "topi")

    def __init__(self, hold):
        self.hold = hold
        self.saved: Optional[int] = None
        self.file: Optional[IO[bytes]] = None
        self.advice = _Advice()

    def __enter__(self):
        if self.hold:
            for name in self.ADVISING_LOGGERS:
                logging.getLogger(name).addFilter(self.advice)
            try:
                sys.stderr.flush()
                self.file = tempfile.TemporaryFile()
                self.saved = os.dup(2)
                os.dup2(self.file.fileno(), 2)
            except OSError:  # no descriptor 2 to hold: show everything
                self.saved = None
        return self

    def release(self, show=True):
        for name in self.ADVISING_LOGGERS:
            logging.getLogger(name).removeFilter(self.advice)
        if self.saved is None or self.file is None:
            return
        os.dup2(self.saved, 2)
        os.close(self.saved)
        self.saved = None
        self.file.seek(0)
        text = self.file.read().decode(errors="replace")
        self.file.close()
        kept = [line for line in text.splitlines(keepends=True) if self.NOISE not in line]
        if kept and show:
            sys.stderr.write("".join(kept))

    def __exit__(self, exc_type, *exc):
        # A failed or interrupted stage ends with its one line and nothing of TVM's.
        self.release(show=exc_type is None)
