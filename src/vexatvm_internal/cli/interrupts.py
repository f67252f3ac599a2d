"""Ctrl-C and SIGTERM, taken at safe points only.

Once TVM is loaded its C++ code may be on the stack at any moment, calling
back into Python through ctypes; a KeyboardInterrupt raised inside such a
callback escapes it, and TVM goes on with a result never set (a crash, or
an unrelated error). So while ``handling`` is in force a signal is only
recorded, and ``checkpoint``, called by the command's own code between
stages, raises KeyboardInterrupt. Before TVM is loaded nothing of it can be
on the stack, and the signal raises at once. A second signal ends the
process at once, with the same one line, removing the temporary files
named in ``unlink_on_forced_exit``.

A child of ``--jobs`` ends with its interruption as its error line, which
its parent does not pass on: the parent reports the one line itself.
"""

import contextlib
import os
import signal
import sys
import threading
from typing import Optional

from .common import PROG

__all__ = ["handling", "checkpoint", "pending", "report", "unlink_on_forced_exit"]

# Temporary files a forced exit removes: a writer adds its file while it
# exists and discards it once renamed or removed.
unlink_on_forced_exit: set[str] = set()

# What each signal ends the command with: its word and exit status.
_ENDINGS: dict[int, tuple[str, int]] = {signal.SIGINT: ("interrupted", 130), signal.SIGTERM: ("terminated", 143)}

# Set to the pid of a process that runs the command, for its children.
_PARENT = "VEXATVM_PARENT_PID"


class _State:
    received: Optional[int] = None  # the first signal received
    # Signals counted by the handler in the main thread, and by the watching
    # thread; either ends the process on the second.
    handled = 0
    seen = 0
    reported = False
    child = False  # run by a --jobs parent
    terminal: Optional[int] = None  # a descriptor of stderr as it was at the start


_state = _State()
_line_lock = threading.RLock()  # the ending line is written once, by one thread


def checkpoint():
    """Raise KeyboardInterrupt when a signal has come since the command started."""
    if _state.received is not None:
        raise KeyboardInterrupt


def pending():
    return _state.received is not None


def ending_line():
    """The one line the command ends with on an interruption, and its exit status."""
    word, status = _ENDINGS[_state.received or signal.SIGINT]
    # A --jobs parent takes its child's error line as the child's failure and
    # reports the interruption itself.
    prefix = f"{PROG}: error: " if _state.child else f"{PROG}: "
    return f"{prefix}{word}\n", status


def report(stream):
    """Write the ending line once; returns the exit status."""
    line, status = ending_line()
    with _line_lock:
        if _state.reported:
            return status
        _state.reported = True
        try:
            stream.write(line)
            stream.flush()
        except (OSError, ValueError):  # stderr gone with the parent of --jobs
            pass
    return status


def _forced_exit():
    for path in list(unlink_on_forced_exit):
        try:
            os.unlink(path)
        except OSError:
            pass
    line, status = ending_line()
    with _line_lock:
        if not _state.reported and _state.terminal is not None:
            _state.reported = True
            # On the descriptor, not sys.stderr: Python may be stopped inside
            # a write to it, and fd 2 may be held.
            clear = "\r\033[K" if os.isatty(_state.terminal) else ""
            try:
                os.write(_state.terminal, (clear + line).encode())
            except OSError:
                pass
        os._exit(status)  # pylint: disable=protected-access


def _on_signal(signum, frame):  # pylint: disable=unused-argument
    if _state.received is None:
        _state.received = signum
    _state.handled += 1
    if _state.handled > 1:
        _forced_exit()
    if "tvm" not in sys.modules:
        raise KeyboardInterrupt


def _watch(wakeup):
    """Counts the signals as Python's C handler writes them to the wakeup
    pipe. The main thread runs Python handlers only once TVM's C++ returns to
    Python; this thread runs while TVM computes (ctypes lets go of the GIL),
    so a second Ctrl-C ends even a long LLVM build at once."""
    while True:
        try:
            data = os.read(wakeup, 64)
        except InterruptedError:
            continue
        except OSError:
            break
        if not data:
            break
        for signum in data:
            if signum in _ENDINGS:
                if _state.received is None:
                    _state.received = signum
                _state.seen += 1
                if _state.seen > 1:
                    _forced_exit()
    os.close(wakeup)


@contextlib.contextmanager
def handling():
    """While in force, SIGINT and SIGTERM are taken as described above; the
    handlers before are restored after. Does nothing outside the main
    thread, where no handler can be set."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _state.received, _state.handled, _state.seen, _state.reported = None, 0, 0, False
    try:
        _state.terminal = os.dup(2)
    except OSError:
        _state.terminal = None
    read, write = os.pipe()
    os.set_blocking(write, False)
    watcher = threading.Thread(target=_watch, args=(read,), name="vexatvm-signals", daemon=True)
    watcher.start()
    previous_wakeup = signal.set_wakeup_fd(write, warn_on_full_buffer=False)
    previous = {signum: signal.signal(signum, _on_signal) for signum in _ENDINGS}
    parent = os.environ.get(_PARENT)
    _state.child = parent == str(os.getppid())
    os.environ[_PARENT] = str(os.getpid())
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, signal.SIG_DFL if handler is None else handler)
        signal.set_wakeup_fd(previous_wakeup)
        os.close(write)  # the watcher reads the end of the pipe and stops
        watcher.join()
        if parent is None:
            os.environ.pop(_PARENT, None)
        else:
            os.environ[_PARENT] = parent
        if _state.terminal is not None:
            os.close(_state.terminal)
            _state.terminal = None
        _state.received = None
