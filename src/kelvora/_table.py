# results_table(): the results of fit_many (or any list of FitResult objects
# and exceptions) as a dict of columns for pandas.DataFrame / polars.DataFrame.
import numpy as np

from . import kelvora as _core


def _error_text(exc):
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def results_table(results, circuit=None):
    results = list(results)
    rows = len(results)
    names = {}  # parameter names in order of first appearance (a dict keeps order)
    if circuit is not None:
        if isinstance(circuit, str):
            circuit = _core.Circuit(circuit)
        elif not isinstance(circuit, _core.Circuit):
            raise TypeError(f"circuit must be a Circuit, a model name or an expression, got {type(circuit).__name__!r}")
        names.update(dict.fromkeys(circuit.param_names()))
    for r in results:
        if isinstance(r, _core.FitResult):
            names.update(dict.fromkeys(r.params))
        elif not isinstance(r, BaseException):
            raise TypeError(f"results must hold FitResult objects or exceptions, got {type(r).__name__!r}")

    values = {name: np.full(rows, np.nan) for name in names}
    errors = {name: np.full(rows, np.nan) for name in names}
    cost = np.full(rows, np.nan)
    chi_square = np.full(rows, np.nan)
    success = np.zeros(rows, dtype=bool)
    iterations = np.zeros(rows, dtype=np.int64)
    method = [""] * rows
    message = [""] * rows
    error = [""] * rows
    # For comparing models fitted to the same spectra (also from the command line).
    dof = np.zeros(rows, dtype=np.int64)
    reduced_chi_square = np.full(rows, np.nan)
    aic = np.full(rows, np.nan)
    bic = np.full(rows, np.nan)
    for i, r in enumerate(results):
        if not isinstance(r, _core.FitResult):
            error[i] = _error_text(r)
            continue
        for name, value in r.params.items():
            values[name][i] = value
        stderr = r.stderr
        if stderr is not None:
            for name, value in stderr.items():
                errors[name][i] = value
        cost[i] = r.cost
        chi_square[i] = r.chi_square
        success[i] = r.success
        iterations[i] = r.iterations
        method[i] = r.method
        message[i] = r.message
        dof[i] = r.dof
        reduced_chi_square[i] = r.reduced_chi_square
        aic[i] = r.aic
        bic[i] = r.bic

    table = dict(values)
    table.update({f"{name}_stderr": column for name, column in errors.items()})
    table.update(
        cost=cost,
        chi_square=chi_square,
        success=success,
        iterations=iterations,
        method=method,
        message=message,
        error=error,
        dof=dof,
        reduced_chi_square=reduced_chi_square,
        aic=aic,
        bic=bic,
    )
    return table
