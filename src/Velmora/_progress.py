"""The progress display of a batch through tqdm's auto front end (a widget in
a notebook, a bar in a terminal) when tqdm is installed (the `progress`
extra); `Velmora.many.Progress` draws the plain line otherwise."""

from __future__ import annotations

import sys
from typing import Any


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
