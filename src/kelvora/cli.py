"""The ``kelvora`` command: fit, test and list from the shell.

::

    kelvora fit cell1.mpr cell2.DTA --model randles --out results.csv --plots plots/
    kelvora validate sweeps/*.csv
    kelvora models

``kelvora fit`` reads every spectrum of every file (a file may hold several
sweeps), fits them all in one :func:`kelvora.fit_many` call on every core and
writes one CSV row per spectrum: the file, the spectrum's index in it, its
cycle number when the file has one, the number of points and the columns of
:func:`kelvora.results_table`.  ``kelvora validate`` runs the linear
Kramers-Kronig test (:func:`kelvora.lin_kk`) on each spectrum and prints a
table with a verdict.  ``kelvora models`` lists the models with a trained
starting-value network and their expressions.

The same command runs as ``python -m kelvora``.  Errors go to stderr with the
file they concern; the other files are still processed.  Wrong usage is found
before any file is read: ``--out`` is opened first, ``--weights`` must be a
readable network for the model's topology, ``--guess`` a model with a trained
network, ``--bound``/``--fix`` the circuit's parameters with values it accepts,
a ``.json`` model a saved circuit or fit, and ``--plots`` a folder that is or
can be made.

Exit status:

* 0 -- every file was read and every spectrum fitted or tested;
* 1 -- a file could not be read, or a spectrum could not be fitted or tested
  (its row says why), or the results could not be written;
* 2 -- wrong usage (unknown option, unknown model, bad value, an ``--out``,
  ``--weights`` or ``--plots`` path that cannot serve);
* 3 -- ``validate`` only: everything was tested, and at least one spectrum
  failed the test.
"""

from __future__ import annotations

import argparse
import csv
import difflib
import json
import math
import os
import re
import stat
import sys
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np

import kelvora as kv

from ._progress import progress_bar

__all__ = ["main", "EXIT_OK", "EXIT_FAILED", "EXIT_USAGE", "EXIT_INCONSISTENT"]

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INCONSISTENT = 3

FORMATS = ("gamry", "biologic_mpt", "biologic_mpr", "zplot", "autolab", "versastudio", "powersuite",
           "parstat", "chi", "zahner", "palmsens", "csv")
METHODS = ("levenberg_marquardt", "nelder_mead", "particle_swarm", "simulated_annealing",
           "differential_evolution", "basin_hopping", "multi_start")


class UsageError(Exception):
    """A bad argument found after parsing (an unknown model, say)."""


@dataclass
class Spectrum:
    """One sweep of one file."""

    path: str
    index: int
    data: dict[str, Any]

    @property
    def cycle(self) -> int | None:
        cycles = self.data.get("cycle_number")
        if cycles is None or len(cycles) == 0:
            return None
        return int(cycles[0])

    @property
    def points(self) -> int:
        return len(self.data["frequency_hertz"])

    @property
    def label(self) -> str:
        return f"{self.path}[{self.index}]"


@dataclass
class Inputs:
    spectra: list[Spectrum] = field(default_factory=list)
    failed_files: list[str] = field(default_factory=list)


def _error(message: str) -> None:
    print(f"kelvora: {message}", file=sys.stderr)


def _read(paths: Sequence[str], fmt: Any) -> Inputs:
    """Every spectrum of every file; unreadable files are reported and skipped."""
    inputs = Inputs()
    for path in paths:
        try:
            sweeps = kv.read_spectra(path, format=fmt)
        except (OSError, ValueError) as e:
            message = str(e)
            _error(message if str(path) in message else f"{path}: {message}")
            inputs.failed_files.append(path)
            continue
        if not sweeps:
            _error(f"{path}: no spectrum in the file")
            inputs.failed_files.append(path)
        inputs.spectra.extend(Spectrum(path, i, sweep) for i, sweep in enumerate(sweeps))
    return inputs


def _cell(value: Any) -> Any:
    """A CSV cell: None as empty, floats in full precision."""
    if value is None:
        return ""
    if isinstance(value, (bool, np.bool_)):
        return "true" if value else "false"
    if isinstance(value, (float, np.floating)):
        return repr(float(value))
    if isinstance(value, np.integer):
        return int(value)
    return value


def _write_csv(out: IO[str], header: Sequence[str], rows: Iterator[Sequence[Any]]) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    for row in rows:
        writer.writerow([_cell(v) for v in row])


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return False


def _open_out(path: str | None, inputs: Sequence[str] = (),
              option_files: Sequence[tuple[str, str]] = ()) -> IO[str]:
    """The output of --out, opened before any work so that a path it cannot write costs none.

    `option_files` are the (option, path) pairs of the other files the command reads (a .json --model, --weights):
    the results must not replace them either."""
    if path is None or path == "-":
        return sys.stdout
    if any(_same_file(path, name) for name in inputs):  # opening it would empty an input before it is read
        raise UsageError(f"--out {path}: is also an input FILE")
    for option, name in option_files:
        if _same_file(path, name):
            raise UsageError(f"--out {path}: is also the {option} file")
    try:
        # surrogateescape: a file name that is not valid UTF-8 is written back as the bytes it was given as.
        # Appending leaves an earlier file's results in place until _rewind(): a run stopped before it has
        # results of its own (Ctrl-C, a late error) does not cost the old ones.
        return open(path, "a", newline="", encoding="utf-8", errors="surrogateescape")
    except OSError as e:
        raise UsageError(f"--out {path}: {e.strerror or e}") from None


def _rewind(out: IO[str]) -> None:
    """Empty an --out file just before the results are written (devices and pipes are left as they are)."""
    if out is not sys.stdout and stat.S_ISREG(os.fstat(out.fileno()).st_mode):
        out.seek(0)
        out.truncate()


def _close_out(out: IO[str] | None) -> None:
    if out is not None and out is not sys.stdout:
        out.close()


def _is_saved_model(model: str) -> bool:
    """Whether --model names a file written by to_dict() rather than a model name or expression."""
    return model.lower().endswith(".json")


def _circuit(model: str) -> kv.Circuit:
    if _is_saved_model(model):
        return _saved_circuit(model)
    try:
        return kv.Circuit(model)
    except ValueError as e:
        # A single word that is not an expression: a misspelt model name ("randlez", "two_rq2"), unless it has
        # digits and resembles no model ("R1x"), when the parser's message says more.
        word = model.strip()
        names = kv.Circuit.ml_circuits()
        close = difflib.get_close_matches(word.lower(), names, n=1) if re.fullmatch(r"\w+", word) else []
        if close or re.fullmatch(r"[A-Za-z_]+", word):
            hint = f' (did you mean "{close[0]}"?)' if close else ""
            raise UsageError(f"--model {model}: not a model name{hint}; the models are {', '.join(names)} "
                             '("kelvora models" lists them), or give a circuit expression such as "R0-(R1,C1)"'
                             ) from None
        raise UsageError(f"--model {model}: {e}") from None


def _saved_circuit(path: str) -> kv.Circuit:
    """A circuit saved as JSON from ``Circuit.to_dict()``, or the fitted circuit of a saved ``FitResult.to_dict()``:
    its values, bounds and fixed parameters come with it."""
    try:
        with open(path, encoding="utf-8") as fh:
            saved = json.load(fh)
    except OSError as e:
        raise UsageError(f"--model {path}: {e.strerror or e}") from None
    except ValueError as e:  # not JSON, or not UTF-8
        raise UsageError(f"--model {path}: not a JSON file ({e})") from None
    if isinstance(saved, dict) and saved.get("type") == "FitResult":
        saved = saved.get("circuit")
    try:
        return kv.Circuit.from_dict(saved)
    except (TypeError, ValueError) as e:
        raise UsageError(f"--model {path}: {e}") from None


def _number(option: str, item: str, text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"{option} {item}: {text!r} is not a number") from None


def _constrained(circuit: kv.Circuit, bounds: Sequence[str], fixed: Sequence[str]) -> kv.Circuit:
    """The circuit with the --bound NAME=LO:HI and --fix NAME=VALUE options applied (an empty LO or HI keeps the
    parameter's bound)."""
    if bounds:
        current = dict(zip(circuit.param_names(), circuit.param_bounds()))
        pairs = {}
        for item in bounds:
            name, eq, limits = item.partition("=")
            lo, colon, hi = limits.partition(":")
            if not eq or not colon or ":" in hi:
                raise UsageError(f"--bound {item}: expected NAME=LO:HI, such as CPE1.alpha=0.5:1")
            name = name.strip()
            low, high = current.get(name, (0.0, math.inf))
            pairs[name] = (_number("--bound", item, lo) if lo.strip() else low,
                           _number("--bound", item, hi) if hi.strip() else high)
        try:
            circuit = circuit.with_bounds(pairs)
        except ValueError as e:
            raise UsageError(f"--bound: {e}") from None
    if fixed:
        values = {}
        for item in fixed:
            name, eq, value = item.partition("=")
            if not eq:
                raise UsageError(f"--fix {item}: expected NAME=VALUE, such as R0.r=0.05")
            values[name.strip()] = _number("--fix", item, value)
        try:
            circuit = circuit.with_fixed(values)
        except ValueError as e:
            raise UsageError(f"--fix: {e}") from None
    return circuit


# ---------------------------------------------------------------------------
# kelvora fit


def _check_weights(path: str, circuit: kv.Circuit) -> None:
    """--weights names a readable network for the circuit's topology (not every spectrum failing on its own)."""
    try:
        with open(path, "rb"):
            pass
    except OSError as e:
        raise UsageError(f"--weights {path}: {e.strerror or e}") from None
    # One guess on the circuit's own impedance loads the network (it is cached
    # for the fits) and checks its format and circuit.
    f = np.logspace(5, -2, 30)
    try:
        circuit.guess(f, circuit.impedance(f), weights=path)
    except ValueError as e:
        raise UsageError(f"--weights {path}: {e}") from None


def _check_guess(circuit: kv.Circuit) -> None:
    """--guess names a circuit with a trained network (not every spectrum failing on its own)."""
    f = np.logspace(5, -2, 30)
    try:
        circuit.guess(f, circuit.impedance(f))
    except ValueError as e:
        raise UsageError(f"--guess: {e}; use --no-guess to start from the circuit's own values") from None


def _no_network_note(model: str) -> str:
    return (f"--model {model}: no trained network for this circuit, so every fit starts from the elements' "
            "default values; --no-guess does the same without this note (the models with a network: "
            + ", ".join(kv.Circuit.ml_circuits()) + ")")


def _in_options(warning: str, model: str) -> str:
    return _no_network_note(model) if warning.startswith("There is no ML model") else warning


def _fit_options(args: argparse.Namespace) -> dict[str, Any]:
    options: dict[str, Any] = {"method": args.method, "weight": args.weight}
    if args.guess is not None:
        options["guess_init"] = args.guess
    if args.weights is not None:
        options["weights"] = args.weights
    if args.seed is not None:
        options["seed"] = args.seed
    if args.max_iterations is not None:
        options["max_iterations"] = args.max_iterations
    return options


def _progress(args: argparse.Namespace) -> bool:
    return bool(sys.stderr.isatty()) if args.progress is None else bool(args.progress)


def _plot_name(spectrum: Spectrum, taken: set[str]) -> str:
    stem = os.path.splitext(os.path.basename(spectrum.path))[0] or "spectrum"
    name = f"{stem}_{spectrum.index}.png"
    n = 1
    while name in taken:  # files of the same name from different folders
        n += 1
        name = f"{stem}_{spectrum.index}_{n}.png"
    taken.add(name)
    return name


def _check_plots(directory: str) -> None:
    """--plots: matplotlib is there, and `directory` is a folder or can be made one."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError('--plots needs matplotlib: pip install "kelvora[plot]"') from None
    existing = directory
    while existing and not os.path.exists(existing):
        existing = os.path.dirname(existing)
    if existing and not os.path.isdir(existing):
        raise UsageError(f"--plots {directory}: " + ("not a directory" if existing == directory else
                                                     f"{existing} is not a directory"))
    if not os.access(existing or os.curdir, os.W_OK | os.X_OK):
        raise UsageError(f"--plots {directory}: permission denied")


def _shown(name: str) -> str:
    """A file name as text matplotlib can draw: bytes that are not UTF-8 as \\xNN."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def _write_plots(directory: str, spectra: Sequence[Spectrum], results: Sequence[Any], progress: bool = False) -> bool:
    """One Nyquist plot per spectrum (with the fit where there is one); False on an error.

    Drawing takes far longer than fitting, so with `progress` it has a bar of its own."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        from . import plot
    except ImportError:
        _error('--plots needs matplotlib: pip install "kelvora[plot]"')
        return False
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as e:
        _error(f"--plots {directory}: {e.strerror or e}")
        return False
    taken: set[str] = set()
    ok = True
    bar = progress_bar(len(spectra), "plots") if progress else None
    try:
        for done, (spectrum, result) in enumerate(zip(spectra, results), 1):
            fit = result if isinstance(result, kv.FitResult) else None
            fig, ax = plt.subplots(figsize=(5, 4))
            try:
                plot.nyquist(spectrum.data, result=fit, ax=ax)
                ax.set_title(f"{_shown(os.path.basename(spectrum.path))} [{spectrum.index}]", fontsize=9)
                fig.savefig(os.path.join(directory, _plot_name(spectrum, taken)), dpi=100, bbox_inches="tight")
            except (OSError, ValueError) as e:
                _error(f"{spectrum.label}: plot: {e}")
                ok = False
            finally:
                plt.close(fig)
            if bar is not None:
                bar(done, len(spectra))
    finally:
        if bar is not None:
            bar.close()
    return ok


def _fit(args: argparse.Namespace) -> int:
    circuit = _constrained(_circuit(args.model), args.bound, args.fix)
    options = _fit_options(args)
    if args.weights is not None:
        _check_weights(args.weights, circuit)
    elif args.guess:
        _check_guess(circuit)
    if args.plots is not None:
        _check_plots(args.plots)
    option_files = [(option, name) for option, name in (("--model", args.model), ("--weights", args.weights))
                    if name is not None and (option != "--model" or _is_saved_model(name))]
    out = _open_out(args.out, args.files, option_files)
    try:
        inputs = _read(args.files, args.format)
        spectra = inputs.spectra
        try:
            # The library's warnings speak of its own API (guess_init=False, with_values()); say it in options.
            # The warning filters stay the user's: -W ignore silences the note, -W error makes it the error.
            with warnings.catch_warnings(record=True) as caught:
                results = kv.fit_many(circuit, [s.data for s in spectra], threads=args.threads, chain=args.chain,
                                      progress=_progress(args) and bool(spectra), **options)
        except (TypeError, ValueError) as e:  # options are checked once, before any fit
            raise UsageError(str(e)) from None
        except Warning as e:
            raise UsageError(_in_options(str(e), args.model)) from None
        for w in caught:
            _error(_in_options(str(w.message), args.model))
        failed = bool(inputs.failed_files)
        for spectrum, result in zip(spectra, results):
            if isinstance(result, BaseException):
                _error(f"{spectrum.label}: {result}")
                failed = True

        # With the circuit, the table has its columns also when no file gave a spectrum.
        table = kv.results_table(results, circuit=circuit)
        columns = list(table)
        header = ["file", "spectrum", "cycle", "points", *columns]
        rows = ([s.path, s.index, s.cycle, s.points, *(table[c][i] for c in columns)]
                for i, s in enumerate(spectra))
        _rewind(out)
        _write_csv(out, header, rows)
    finally:
        _close_out(out)
    if args.plots is not None and spectra and not _write_plots(args.plots, spectra, results, _progress(args)):
        failed = True
    return EXIT_FAILED if failed else EXIT_OK


# ---------------------------------------------------------------------------
# kelvora validate


VALIDATE_COLUMNS = ("file", "spectrum", "cycle", "points", "m", "mu", "pseudo_chi_square", "max_residual",
                    "verdict")


def _validate(args: argparse.Namespace) -> int:
    out = _open_out(args.out, args.files) if args.out is not None else None
    try:
        inputs = _read(args.files, args.format)
        failed = bool(inputs.failed_files)
        inconsistent = False
        rows: list[list[Any]] = []
        for s in inputs.spectra:
            try:
                r = kv.lin_kk(s.data, c=args.c, max_m=args.max_m, test=args.test,
                              add_capacitance=args.add_capacitance)
            except ValueError as e:
                _error(f"{s.label}: {e}")
                failed = True
                rows.append([s.path, s.index, s.cycle, s.points, None, None, None, None, "error"])
                continue
            residual = float(np.max(np.abs(np.concatenate([r.residuals_real, r.residuals_imag]))))
            ok = residual <= args.threshold
            inconsistent |= not ok
            rows.append([s.path, s.index, s.cycle, s.points, r.m, r.mu, r.pseudo_chi_square, residual,
                         "pass" if ok else "fail"])
        if out is not None:
            _rewind(out)
            _write_csv(out, VALIDATE_COLUMNS, iter(rows))
    finally:
        _close_out(out)
    if args.out != "-":
        _print_table(VALIDATE_COLUMNS, rows)
    if failed:
        return EXIT_FAILED
    return EXIT_INCONSISTENT if inconsistent else EXIT_OK


def _text(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        return f"{value:.4g}"
    return str(value)


def _print_table(header: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
    cells = [list(header)] + [[_text(v) for v in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    for r in cells:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())


# ---------------------------------------------------------------------------
# kelvora models


def _models(args: argparse.Namespace) -> int:
    names = kv.Circuit.ml_circuits()
    rows = [[name, len(kv.Circuit(name).param_names()), kv.Circuit(name).expression] for name in names]
    if args.csv:
        _write_csv(sys.stdout, ["model", "parameters", "expression"], iter(rows))
    else:
        _print_table(["model", "parameters", "expression"], rows)
    return EXIT_OK


# ---------------------------------------------------------------------------


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _iterations(text: str) -> int:
    value = _positive_int(text)
    if value > 2**32 - 1:  # an unsigned 32-bit count in the library
        raise argparse.ArgumentTypeError(f"must be at most {2**32 - 1}, got {value}")
    return value


def _seed(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 2**64 - 1:  # an unsigned 64-bit integer in the library
        raise argparse.ArgumentTypeError(f"must lie in [0, 2**64 - 1], got {value}")
    return value


def _fraction(text: str) -> float:
    value = float(text)
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"must lie in (0, 1], got {text}")
    return value


def _non_negative(text: str) -> float:
    value = float(text)
    if not value >= 0.0:
        raise argparse.ArgumentTypeError(f"must be >= 0, got {text}")
    return value


EPILOG = ("exit status: 0 all done; 1 a file could not be read, a spectrum could not be fitted or tested, or the "
          "results could not be written; 2 wrong usage, found before any file is read; 3 (validate) a spectrum "
          "failed the Kramers-Kronig test")


def parser() -> argparse.ArgumentParser:
    """The argument parser of the ``kelvora`` command."""
    p = argparse.ArgumentParser(
        prog="kelvora", description="Fit equivalent circuits to impedance spectra, test spectra for "
        "Kramers-Kronig consistency, and list the models.", epilog=EPILOG)
    p.add_argument("--version", action="version", version=f"kelvora {kv.__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(q: argparse.ArgumentParser) -> None:
        q.add_argument("files", nargs="+", metavar="FILE", help="instrument files; a file may hold several "
                       "spectra, each gets its own row")
        q.add_argument("--format", choices=FORMATS, default=None,
                       help="file format of every FILE (default: detected per file)")

    f = sub.add_parser("fit", help="fit a circuit to every spectrum of the files",
                       description="Fit one circuit to every spectrum of the files, on every core, and write one "
                       "CSV row per spectrum: file, spectrum index in the file, cycle number (when the "
                       "file has one), points, then parameter values, standard errors and fit statistics, "
                       "and the error text of spectra that could not be fitted.", epilog=EPILOG)
    common(f)
    f.add_argument("--model", "-m", required=True,
                   help='model name (see "kelvora models"), circuit expression such as "R0-(R1,C1)", or a .json '
                   "file of a circuit or fit result saved with to_dict() (its values, bounds and fixed parameters "
                   "come with it)")
    f.add_argument("--bound", action="append", default=[], metavar="NAME=LO:HI",
                   help="search NAME within [LO, HI], e.g. CPE1.alpha=0.5:1; an empty LO or HI keeps that bound "
                   "(repeatable)")
    f.add_argument("--fix", action="append", default=[], metavar="NAME=VALUE",
                   help="hold NAME at VALUE in every fit, e.g. R0.r=0.05 (repeatable)")
    f.add_argument("--method", choices=METHODS, default="levenberg_marquardt", help="fit method (default: %(default)s)")
    f.add_argument("--weight", choices=("modulus", "unit"), default="modulus",
                   help="residual weighting (default: %(default)s)")
    g = f.add_mutually_exclusive_group()
    g.add_argument("--guess", dest="guess", action="store_const", const=True, default=None,
                   help="always start from the trained network's guess (an error when the circuit has none)")
    g.add_argument("--no-guess", dest="guess", action="store_const", const=False,
                   help="start from the circuit's own values")
    f.add_argument("--weights", metavar="EISNN", help="a .eisnn weight file that supplies the starting guess")
    f.add_argument("--max-iterations", type=_iterations, metavar="N",
                   help="Levenberg-Marquardt residual evaluations per run")
    f.add_argument("--seed", type=_seed, help="seed of the random searches, for repeatable results "
                   "(0 to 2**64 - 1)")
    f.add_argument("--threads", type=_positive_int, metavar="N", help="native threads (default: every processor)")
    f.add_argument("--chain", action="store_true",
                   help="fit in order, each spectrum starting from the previous result (slowly drifting series)")
    f.add_argument("--out", "-o", metavar="CSV", help="output file (default: standard output)")
    f.add_argument("--plots", metavar="DIR", help="write a Nyquist plot with the fit per spectrum into DIR "
                   "(needs matplotlib)")
    pg = f.add_mutually_exclusive_group()
    pg.add_argument("--progress", dest="progress", action="store_const", const=True, default=None,
                    help="show progress bars for the fits and the plots on stderr (default: when stderr "
                    "is a terminal)")
    pg.add_argument("--no-progress", dest="progress", action="store_const", const=False,
                    help="no progress bar")
    f.set_defaults(run=_fit)

    v = sub.add_parser("validate", help="linear Kramers-Kronig test of every spectrum of the files",
                       description="Run the linear Kramers-Kronig test on every spectrum of the files and print "
                       "the number of Voigt elements m, mu, the pseudo chi-square, the largest relative "
                       "residual and a verdict: pass when that residual is at most --threshold.", epilog=EPILOG)
    common(v)
    v.add_argument("--threshold", type=_non_negative, default=0.01,
                   help="largest relative residual |Z - Z_fit|/|Z| of either part that passes (default: %(default)s)")
    v.add_argument("--c", type=_fraction, default=0.85, help="mu threshold that ends the search over m "
                   "(default: %(default)s)")
    v.add_argument("--max-m", type=_positive_int, metavar="M", help="largest number of Voigt elements")
    v.add_argument("--test", choices=("complex", "real", "imaginary"), default="complex",
                   help="parts fitted (default: %(default)s)")
    v.add_argument("--add-capacitance", action="store_true", help="fit a series capacitance: for spectra whose low-frequency end keeps rising like a "
                   "capacitor or a diffusion tail (blocking electrodes, most battery spectra), which "
                   "Voigt elements alone cannot follow")
    v.add_argument("--out", "-o", metavar="CSV", help='also write the table as CSV ("-": CSV on standard output '
                   'instead of the table)')
    v.set_defaults(run=_validate)

    m = sub.add_parser("models", help="list the models with a trained starting-value network",
                       description="List the model names that --model accepts with a trained network for the "
                       "starting values, their number of parameters and their circuit expressions.")
    m.add_argument("--csv", action="store_true", help="write CSV instead of a table")
    m.set_defaults(run=_models)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with `argv` (default: ``sys.argv[1:]``) and return its exit status."""
    p = parser()
    args = p.parse_args(argv)
    if getattr(sys.stdout, "errors", None) == "strict" and hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")  # as for --out: file names as they were given
    try:
        status: int = args.run(args)
    except UsageError as e:
        p.exit(EXIT_USAGE, f"{p.prog} {args.command}: error: {e}\n")
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:  # kelvora fit ... | head
        sys.stderr.close()
        return EXIT_FAILED
    except OSError as e:  # writing the results (a full disk, say); reading and plotting report their own errors
        _error(f"writing the results: {e.strerror or e}")
        return EXIT_FAILED
    return status


if __name__ == "__main__":
    sys.exit(main())
