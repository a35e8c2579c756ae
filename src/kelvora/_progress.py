# The progress display of fit_many(..., progress=True): a tqdm bar when tqdm
# is installed, a plain text bar on stderr otherwise.  The compiled module
# calls progress_bar(total), then the display with (done, total) as the batch
# advances, then its close().  The command line shows other long work (its
# plots) the same way, under a label of its own.
import importlib
import sys
import time


class _TqdmBar:
    def __init__(self, tqdm, total, label=None):
        self._bar = tqdm(total=total, unit="spectra", file=sys.stderr, desc=label)
        self._done = 0

    def __call__(self, done, total):
        self._bar.update(done - self._done)
        self._done = done

    def close(self):
        self._bar.close()


class _PlainBar:
    """``fit_many |#######.............|  350/1000`` on one stderr line, redrawn at most ten times a second."""

    width = 30

    def __init__(self, total, label="fit_many"):
        self._label = label
        self._total = total
        self._shown = None
        self._last_draw = 0.0

    def __call__(self, done, total):
        now = time.monotonic()
        if done != total and now - self._last_draw < 0.1:
            return
        self._last_draw = now
        self._draw(done, total)

    def _draw(self, done, total):
        if (done, total) == self._shown:
            return
        self._shown = (done, total)
        filled = self.width * done // total if total else self.width
        digits = len(str(total))
        sys.stderr.write(f"\r{self._label} |{'#' * filled}{'.' * (self.width - filled)}| {done:>{digits}}/{total}")
        sys.stderr.flush()

    def close(self):
        if self._shown is not None:
            sys.stderr.write("\n")
            sys.stderr.flush()


class _NoBar:
    """The display when there is no stderr to draw on (pythonw, or a process started without one)."""

    def __call__(self, done, total):
        pass

    def close(self):
        pass


def progress_bar(total, label=None):
    if sys.stderr is None:
        return _NoBar()
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return _PlainBar(total) if label is None else _PlainBar(total, label)
    return _TqdmBar(tqdm, total, label)
