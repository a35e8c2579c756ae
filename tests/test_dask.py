"""kelvora.dask on a local Dask cluster of two worker processes: the rows
gathered from the partitions equal those of one local fit_many call."""
import math
import os
import types

import numpy as np
import pytest

import kelvora as kv

distributed = pytest.importorskip("distributed")
db = pytest.importorskip("dask.bag")
from kelvora.dask import fit_bag, fit_partition, table_meta, table_rows  # noqa: E402

FREQS = np.logspace(5, -2, 40)


@pytest.fixture(scope="module")
def client():
    # Worker processes import kelvora from where this suite found it.
    saved = os.environ.get("PYTHONPATH")
    package_parent = os.path.dirname(os.path.dirname(kv.__file__))
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in [package_parent, saved] if p)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as c:
            yield c
    finally:
        if saved is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = saved


def spectra(n, seed=0):
    rng = np.random.default_rng(seed)
    circuit = kv.Circuit("rc")
    out = []
    for i in range(n):
        z = circuit.with_values([10 ** rng.uniform(0, 2), 10 ** rng.uniform(1, 3), 10 ** rng.uniform(-6, -4)]
                                ).impedance(FREQS)
        z = z * (1 + 0.01 * rng.standard_normal(z.size))
        # Every kind of input fit_many takes, and a few spectra no fit can use.
        if i % 97 == 13:
            out.append((FREQS[:1], z[:1]))
        elif i % 2:
            out.append({"frequency_hertz": FREQS, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag})
        else:
            out.append((FREQS, z))
    return out


def equal_rows(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b):
        assert x.keys() == y.keys()
        for k in x:
            same = x[k] == y[k] or (isinstance(x[k], float) and math.isnan(x[k]) and math.isnan(y[k]))
            assert same, (k, x[k], y[k])


@pytest.mark.parametrize("options", [{}, {"chain": True, "seed": 4, "method": "nelder_mead",
                                          "nelder_mead_iterations": 200}], ids=["default", "chained"])
def test_cluster_rows_equal_a_local_fit_many(client, options):
    data = spectra(1200 if not options else 200)
    bag = db.from_sequence(data, npartitions=6)
    rows = fit_bag("R0-(R1,C1)", bag, **options).compute()
    if options.get("chain"):
        # Chains start afresh in every partition.
        sizes = bag.map_partitions(lambda part: [len(part)]).compute(scheduler="sync")
        ends = np.cumsum([0, *sizes])
        parts = [data[a:b] for a, b in zip(ends[:-1], ends[1:])]
        local = [row for part in parts
                 for row in table_rows(kv.results_table(kv.fit_many(kv.Circuit("R0-(R1,C1)"), part, **options)))]
    else:
        local = table_rows(kv.results_table(kv.fit_many(kv.Circuit("R0-(R1,C1)"), data)))
    equal_rows(rows, local)
    if not options:  # one-point spectra cannot be guessed from: their rows hold the error
        errors = [i for i, r in enumerate(rows) if any(r[k] for k in r if k.startswith("error"))]
        assert errors == [i for i in range(len(data)) if i % 97 == 13]


@pytest.mark.parametrize("circuit, options", [("R0-(R1,C1)", {"method": "newton"}),
                                              ("R0-(R1,C1)", {"ftol": -1.0}),
                                              ("R0-(R1,", {})])
def test_bad_arguments_fail_before_anything_runs(circuit, options):
    bag = db.from_sequence([(FREQS, np.ones(FREQS.size, complex))], npartitions=1)
    with pytest.raises(ValueError):
        fit_bag(circuit, bag, **options)


def test_a_partition_of_failures_has_the_same_columns(client):
    bad = [(FREQS, np.ones(FREQS.size - 1, complex)), (FREQS[:2], np.ones(FREQS.size, complex))]
    data = spectra(4)[:2] + bad + spectra(4)[2:]
    rows = fit_bag("R0-(R1,C1)", db.from_sequence(data, npartitions=3)).compute()
    assert len({tuple(r) for r in rows}) == 1
    equal_rows(rows, table_rows(kv.results_table(kv.fit_many(kv.Circuit("R0-(R1,C1)"), data))))


def test_table_rows_transposes_columns():
    assert table_rows({"a": [1, 2], "b": ["x", "y"]}) == [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]
    assert table_rows({}) == []


def partitions_with_empty_ones(data):
    """`data` in a bag of four partitions: two empty, then a single spectrum, then the rest."""
    index = db.from_sequence([[-1], [-1], [0], list(range(1, len(data)))], npartitions=4).flatten()
    bag = index.filter(lambda i: i >= 0).map(lambda i: data[i])
    sizes = bag.map_partitions(lambda part: [len(list(part))]).compute(scheduler="sync")
    assert sizes == [0, 0, 1, len(data) - 1]
    return bag


@pytest.mark.parametrize("chain", [False, True])
def test_empty_and_one_spectrum_partitions(client, chain):
    data = spectra(7)
    rows = fit_bag("R0-(R1,C1)", partitions_with_empty_ones(data), chain=chain).compute()
    # The chain of the last partition starts at its own first spectrum.
    local = table_rows(kv.results_table(kv.fit_many(kv.Circuit("R0-(R1,C1)"), data[:1])))
    local += table_rows(kv.results_table(kv.fit_many(kv.Circuit("R0-(R1,C1)"), data[1:], chain=chain)))
    equal_rows(rows, local)


@pytest.mark.parametrize("circuit", ["R0-(R1,C1)", kv.Circuit("randles")])
def test_table_meta_has_the_columns_and_dtypes_of_the_rows(circuit):
    pd = pytest.importorskip("pandas")
    c = kv.Circuit(circuit) if isinstance(circuit, str) else circuit
    f = FREQS
    z = c.with_values(c.param_values()).impedance(f)
    meta = table_meta(circuit)
    assert len(meta) == 0
    for part in [[(f, z)], [(f, z[:3])], [(f, z), (f, z[:3])]]:  # fits, failures, both
        frame = pd.DataFrame(table_rows(kv.results_table(kv.fit_many(c, part, guess_init=False), circuit=c)))
        assert frame.dtypes.to_dict() == meta.dtypes.to_dict()
    # An empty table has no entries to give its text columns a type.
    assert pd.DataFrame(kv.results_table([], circuit=c))["error"].dtype != meta["error"].dtype


def test_dataframe_of_a_bag_whose_first_partitions_are_empty(client):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("dask.dataframe")
    data = spectra(7)
    frame = fit_bag("R0-(R1,C1)", partitions_with_empty_ones(data)).to_dataframe(meta=table_meta("R0-(R1,C1)"))
    assert list(frame.columns) == list(table_meta("R0-(R1,C1)").columns)
    got = frame.compute().reset_index(drop=True)
    want = pd.DataFrame(table_rows(kv.results_table(kv.fit_many(kv.Circuit("R0-(R1,C1)"), data))))
    pd.testing.assert_frame_equal(got, want, check_dtype=False)


def test_a_partition_is_a_list_of_spectra_not_one():
    z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(FREQS)
    one = types.MappingProxyType({"frequency_hertz": FREQS, "real_impedance_ohm": z.real,
                                  "imaginary_impedance_ohm": z.imag})
    with pytest.raises(TypeError, match="expected a sequence of spectra"):
        fit_partition("rc", one)
    assert [row["error"] for row in fit_partition("rc", iter([one, (FREQS, z[:2])]))][0] == ""
