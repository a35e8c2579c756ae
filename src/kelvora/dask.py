"""Fitting a partitioned collection of spectra on a Dask cluster.

Each partition of a :class:`dask.bag.Bag` of spectra is fitted by one
:func:`kelvora.fit_many` call on whichever worker holds it, and comes back as
the rows of :func:`kelvora.results_table`: one dict per spectrum, in the
bag's order.  Spectra, circuits and results pickle, so partitions travel to
the workers as they are; the workers need kelvora installed.

Needs Dask: ``pip install "kelvora[dask]"``.

On a cluster (the same code runs on a ``distributed.LocalCluster``)::

    import glob
    import dask.bag as db
    import pandas as pd
    from distributed import Client
    import kelvora as kv
    from kelvora.dask import fit_bag

    client = Client("scheduler:8786")
    files = db.from_sequence(sorted(glob.glob("cells/*.DTA")), npartitions=64)
    spectra = files.map(kv.read_spectra).flatten()      # read on the workers
    rows = fit_bag("randles", spectra, seed=1).compute()  # one dict per spectrum
    table = pd.DataFrame(rows)
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable, Mapping
from typing import Any

import kelvora as kv

__all__ = ["fit_bag", "fit_partition", "table_meta", "table_rows"]


def _circuit(circuit: kv.Circuit | str) -> kv.Circuit:
    return circuit if isinstance(circuit, kv.Circuit) else kv.Circuit(circuit)


def fit_partition(
    circuit: kv.Circuit | str,
    spectra: Iterable[Any],
    *,
    threads: int | None = 1,
    chain: bool = False,
    **fit_options: Any,
) -> list[dict[str, Any]]:
    """Fit one partition of spectra and return its :func:`kelvora.results_table` rows.

    Parameters
    ----------
    circuit : Circuit or str
        The circuit, or a model name or expression.
    spectra : iterable
        Spectra as :func:`kelvora.fit_many` takes them.
    threads : int or None, default 1
        Native threads of this partition's :func:`kelvora.fit_many` call;
        None for one per available processor.
    chain : bool, default False
        Fit the partition in order, each spectrum starting from the previous
        result; every partition starts its chain afresh.
    **fit_options
        Keyword arguments of :meth:`kelvora.Circuit.fit`.

    Returns
    -------
    list of dict
        One row per spectrum with the columns of :func:`kelvora.results_table`.
    """
    circuit = _circuit(circuit)
    results = kv.fit_many(circuit, spectra, threads=threads, chain=chain, **fit_options)
    # The circuit's names give the columns even to a partition where every fit failed.
    return table_rows(kv.results_table(results, circuit=circuit))


def table_rows(table: Mapping[str, Any]) -> list[dict[str, Any]]:
    """The rows of a dict of equal-length columns, as one dict per row of Python values."""
    names = list(table)
    columns = [table[name].tolist() if hasattr(table[name], "tolist") else list(table[name]) for name in names]
    n = len(columns[0]) if columns else 0
    return [{name: column[i] for name, column in zip(names, columns)} for i in range(n)]


def table_meta(circuit: kv.Circuit | str) -> Any:
    """An empty :class:`pandas.DataFrame` with the columns and dtypes of the rows of a fit of `circuit`.

    Give it as the ``meta`` of the bag's ``to_dataframe``:
    ``fit_bag(circuit, bag).to_dataframe(meta=table_meta(circuit))``.
    Without it Dask computes the first partition to learn the columns (its
    fits run twice) and fails when that partition is empty; an empty
    :func:`kelvora.results_table` is no substitute, its text columns have
    no entries to tell their type.

    Parameters
    ----------
    circuit : Circuit or str
        The circuit given to :func:`fit_bag`, or its model name or expression.

    Returns
    -------
    pandas.DataFrame
        No rows; the parameter, standard-error, cost and criteria columns
        float64, ``success`` bool, ``iterations`` and ``dof`` int64 and the
        text columns as pandas makes them of str.
    """
    # Imported by name: pandas comes with Dask's dataframes and ships no type
    # information of its own.
    pd = importlib.import_module("pandas")
    # One failed slot's row has an entry of every column's type.
    row = table_rows(kv.results_table([ValueError()], circuit=_circuit(circuit)))
    return pd.DataFrame(row).iloc[:0]


def fit_bag(
    circuit: kv.Circuit | str,
    bag: Any,
    *,
    threads: int | None = 1,
    chain: bool = False,
    **fit_options: Any,
) -> Any:
    """Fit every spectrum of a Dask bag, one :func:`kelvora.fit_many` call per partition.

    The fit options are checked here, once, before anything is submitted.
    Each partition's fits run on the worker that holds it; a spectrum that
    cannot be fitted gives a row with its error text instead of failing its
    partition.  The rows equal those of ``kv.results_table(kv.fit_many(circuit,
    spectra, ...))`` on one machine.

    Parameters
    ----------
    circuit : Circuit or str
        The circuit, or a model name or expression.
    bag : dask.bag.Bag
        Spectra, each one a dataframe, a dict of columns (as
        :func:`kelvora.read_spectra` returns) or a ``(frequencies, impedances)``
        pair.
    threads : int or None, default 1
        Native threads per partition.  Dask already runs one partition per
        worker thread; raise this for workers with one thread on many cores.
    chain : bool, default False
        Fit each partition in order, each spectrum starting from the previous
        result.  Chains do not cross partition boundaries.
    **fit_options
        Keyword arguments of :meth:`kelvora.Circuit.fit`, such as ``method``
        or ``seed``.

    Returns
    -------
    dask.bag.Bag
        A lazy bag of row dicts, one per spectrum in the bag's order, with the
        columns of :func:`kelvora.results_table`; ``.compute()`` gathers them,
        ``.to_dataframe(meta=table_meta(circuit))`` turns them into a Dask
        dataframe.

    Raises
    ------
    ImportError
        If Dask is not installed.
    TypeError, ValueError
        For an unknown circuit or bad fit options, before any work starts.
    """
    try:
        import dask.bag  # noqa: F401  (the bag's own methods do the work)
    except ImportError as e:
        raise ImportError('kelvora.dask needs Dask: install it with pip install "kelvora[dask]"') from e
    circuit = _circuit(circuit)
    kv.fit_many(circuit, [], threads=threads, chain=chain, **fit_options)  # checks the options only
    return bag.map_partitions(_fit_partition, circuit, threads=threads, chain=chain, **fit_options)


def _fit_partition(spectra: Iterable[Any], circuit: kv.Circuit, **options: Any) -> list[dict[str, Any]]:
    # map_partitions passes the partition first.
    return fit_partition(circuit, spectra, **options)
