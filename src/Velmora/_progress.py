"""The progress display of a batch through tqdm's auto front end (a widget in
a notebook, a bar in a terminal) when tqdm is installed (the `progress`
extra); `Velmora.many_minimize.Progress` draws the plain line otherwise."""

from __future__ import annotations

import math
import numbers
import os
import sys
import time
from typing import Any, TextIO

import numpy as np


def in_notebook() -> bool:
    """Whether this runs in a Jupyter kernel (where stderr is no terminal,
    yet a widget shows)."""
    shell = sys.modules.get("IPython")
    try:
        ip = shell.get_ipython() if shell is not None else None  # type: ignore[attr-defined]
    except Exception:  # an IPython without a running shell
        return False
    return ip is not None and type(ip).__name__ == "ZMQInteractiveShell"


def tqdm_progress(label: str, total: int, force: bool) -> Any | None:
    """A progress display with Progress's interface over tqdm.auto, or None
    when tqdm is not installed. Unless forced it appears only after two
    seconds, like the terminal line."""
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    bar = tqdm(total=total, desc=label, unit="problem", leave=True, delay=0.0 if force else 2.0)
    return _TqdmProgress(bar)


class _TqdmProgress:
    """Called with the number of problems done; `finish` closes the bar."""

    def __init__(self, bar: Any) -> None:
        self.bar = bar

    def __call__(self, done: int) -> None:
        self.bar.update(done - self.bar.n)

    def finish(self, completed: bool) -> None:
        if completed:
            self.bar.update(self.bar.total - self.bar.n)
        self.bar.close()


def usable_cpus() -> int:
    """The CPUs this process may run on."""
    count: Any = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return int(os.cpu_count() or 1)


# Threads are cheap, but a runaway value should not start millions of them.
MAX_WORKERS = 1024


def worker_count(workers: object) -> int:
    if workers is None:
        return usable_cpus()
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"workers must be an int or None, got {type(workers).__name__}")
    w = int(workers)
    if w < 1:
        raise ValueError(f"workers must be at least 1, got {w}")
    return min(w, MAX_WORKERS)


def clock(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "?"
    s = int(seconds + 0.5)
    return (
        f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}" if s >= 3600 else f"{s // 60}:{s % 60:02d}"
    )


class Progress:
    """The progress line of a batch on a stream: problems done out of the
    total, the rate and the time left, redrawn a few times a second. With
    `force` False it appears only once the call is expected to last more
    than `threshold` seconds. The native run calls it with the number of
    problems done; `finish` ends the line."""

    def __init__(self, label: str, total: int, stream: TextIO, force: bool, threshold: float = 2.0):
        self.label, self.total, self.stream, self.force = label, total, stream, force
        self.threshold = threshold
        self.terminal = isatty(stream)
        self.start = time.monotonic()
        self.shown = False
        self.drawn_at = -math.inf

    def __call__(self, done: int, *extra: object) -> None:
        now = time.monotonic()
        elapsed = now - self.start
        if not self.shown:
            expected = elapsed * self.total / done if done else math.inf
            if not self.force and (elapsed < 0.5 or expected < self.threshold):
                return
            self.shown = True
        if now - self.drawn_at >= (0.25 if self.terminal else 2.0):
            self.drawn_at = now
            rate = done / elapsed if elapsed > 0 else 0.0
            left = (self.total - done) / rate if rate > 0 else math.inf
            self._write(self.describe(done, rate, left, *extra))

    def describe(self, done: int, rate: float, left: float, *extra: object) -> str:
        """The line's text; a run that reports more than its count says it here."""
        return f"{self.label}: {done}/{self.total} problems, {rate:,.0f}/s, {clock(left)} left"

    def finish(self, completed: bool) -> None:
        if not self.shown and not self.force:  # asked for: at least the final line
            return
        elapsed = time.monotonic() - self.start
        if completed:
            rate = self.total / elapsed if elapsed > 0 else 0.0
            self._write(f"{self.label}: {self.total} problems in {elapsed:.1f} s ({rate:,.0f}/s)")
        self._write_raw("\n" if self.terminal else "")

    def _write(self, line: str) -> None:
        self._write_raw(f"\r{line}\x1b[K" if self.terminal else line + "\n")

    def _write_raw(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # a closed or broken stream: go on without the line
            self.shown, self.force, self.threshold = False, False, math.inf


def isatty(stream: object) -> bool:
    try:
        return bool(stream.isatty())  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):  # no such method, or a closed stream
        return False


def display(progress: object, label: str, total: int) -> Any:
    from Velmora._progress import in_notebook, tqdm_progress

    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress must be None, True or False, got {type(progress).__name__}")
    stream = sys.stderr
    if progress is False or stream is None or total == 0:
        return None
    if in_notebook():  # no terminal there for the line: tqdm's widget when installed
        bar = tqdm_progress(label, total, bool(progress))
        if bar is not None:
            return bar
    if progress is None and not isatty(stream):
        return None
    return Progress(label, total, stream, force=bool(progress))


def run_batch(native: Any, label: str, total: int, progress: object, *arguments: Any) -> Any:
    """native(*arguments, report) with the progress line of `progress`
    (None, True or False) around it; the line is ended whatever happens."""
    report = display(progress, label, total)
    completed = False
    try:
        out = native(*arguments, report)
        completed = True
        return out
    finally:
        if report is not None:
            report.finish(completed)
