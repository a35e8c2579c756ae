"""Reading potentiostat files: every format round-trips spectra written by
its own small writer (instrument_writers), awkward files included, and bad
input fails with a ValueError that names the file, the place and what was
expected."""
import os
import re
import sys
import tempfile
import threading

import numpy as np
import pytest

import instrument_writers as w
import kelvora as kv

KEYS = ["frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"]


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def check(spectrum, sweep, rtol=1e-15, time=True):
    assert all(spectrum[k].dtype == np.float64 for k in spectrum)
    np.testing.assert_allclose(spectrum["frequency_hertz"], sweep["f"], rtol=rtol)
    np.testing.assert_allclose(spectrum["real_impedance_ohm"], sweep["z"].real, rtol=rtol, atol=rtol * np.abs(sweep["z"]).max())
    np.testing.assert_allclose(spectrum["imaginary_impedance_ohm"], sweep["z"].imag, rtol=rtol,
                               atol=rtol * np.abs(sweep["z"]).max())
    if time:
        np.testing.assert_allclose(spectrum["time_second"], sweep["t"], rtol=rtol)


def f32(s):
    z = s["z"].real.astype(np.float32) - 1j * (-s["z"].imag).astype(np.float32)
    return {"f": s["f"].astype(np.float32).astype(float), "z": z, "t": s["t"]}


# name, format, writer of a list of sweeps, sweeps per file, options
CASES = [
    ("a.DTA", "gamry", lambda ss: w.gamry(ss[:1]), 1),
    ("comma.DTA", "gamry", lambda ss: w.gamry(ss[:1], comma=True), 1),
    ("aborted.DTA", "gamry", lambda ss: w.gamry(ss[:1], aborted=True, ocv=False, crlf=False), 1),
    ("two.DTA", "gamry", lambda ss: w.gamry(ss[:2], encoding="utf-8"), 2),
    ("a.mpt", "biologic_mpt", lambda ss: w.biologic_mpt(ss), 3),
    ("comma.mpt", "biologic_mpt", lambda ss: w.biologic_mpt(ss, comma=True, crlf=False, zero_rows=2), 3),
    ("blank.mpt", "biologic_mpt", lambda ss: b"\r\n \r\n" + w.biologic_mpt(ss), 3),  # header counted from its first line
    ("bare.mpt", "biologic_mpt", lambda ss: w.biologic_mpt(ss[:2], header=False), 2),
    ("a.mpr", "biologic_mpr", lambda ss: w.biologic_mpr(ss), 3),
    ("old.mpr", "biologic_mpr", lambda ss: w.biologic_mpr(ss[:1], new_header=False, ids=(32, 37, 38, 4)), 1),
    ("a.z", "zplot", lambda ss: w.zplot(ss[0], declared=99), 1),
    ("w.z", "zplot", lambda ss: w.zplot(ss[0], variant="zplotw"), 1),
    ("z60w.txt", "zplot", lambda ss: w.zplot(ss[0], variant="z60w", bom=True), 1),
    ("nova.txt", "autolab", lambda ss: w.autolab_nova(ss[0]), 1),
    ("nova_comma.txt", "autolab", lambda ss: w.autolab_nova(ss[0], comma=True), 1),
    ("a.dfr", "autolab", lambda ss: w.autolab_dfr(ss[0]), 1),
    ("a.par", "versastudio", lambda ss: w.versastudio(ss[:2]), 2),
    ("ps.txt", "powersuite", lambda ss: w.powersuite(ss[0]), 1),
    ("parstat.txt", "parstat", lambda ss: w.parstat(ss[0]), 1),
    ("chi.txt", "chi", lambda ss: w.chi(ss[0]), 1),
    ("a.ism", "zahner", lambda ss: w.zahner(ss[0]), 1),
    ("a.pssession", "palmsens", lambda ss: w.palmsens([("CH 1", ss[:1]), ("CH 2", ss[1:3])]), 3),
    ("utf8.pssession", "palmsens", lambda ss: w.palmsens([("CH 1", ss[:1])], utf16=False), 1),
    ("a.csv", "csv", lambda ss: w.csv(ss[:1]), 1),
    ("cycles.tsv", "csv", lambda ss: w.csv(ss, names=("freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm"), sep="\t", comma=True,
                                           bom=True, crlf=True, with_cycles=True), 3),
    ("looped.csv", "csv", lambda ss: w.csv(ss), 3),  # no cycle column: split where the frequency restarts
    ("polar.csv", "csv", lambda ss: w.csv(ss[:1], names=("Frequency (Hz)", "|Z| (Ohm)", "Phase (deg)"),
                                          roles=("f", "mod", "phase"), sep=";",
                                          encoding="cp1252"), 1),
    ("ours.csv", "csv", lambda ss: w.csv(ss[:1], names=("frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"),
                                         roles=("f", "re", "im")), 1),
]
WITHOUT_TIME = {"powersuite", "chi", "csv", "autolab_dfr"}
FLOAT32 = {"biologic_mpr"}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("name, fmt, writer, count", CASES, ids=[c[0] for c in CASES])
def test_round_trip(tmp_path, name, fmt, writer, count, seed):
    rng = np.random.default_rng(seed)
    sweeps, t0 = [], 0.0
    for _ in range(3):
        sweeps.append(w.sweep(rng, time0=t0))
        t0 = sweeps[-1]["t"][-1]
    path = write(tmp_path, name, writer(sweeps))
    for forced in (None, fmt):
        spectra = kv.read_spectra(path, format=forced)
        assert len(spectra) == count
        for spectrum, s in zip(spectra, sweeps):
            exact = f32(s) if fmt in FLOAT32 else s
            has_time = fmt not in WITHOUT_TIME and not name.endswith(".dfr")
            check(spectrum, exact, rtol=1e-12 if fmt in ("zahner", "csv") or "Phase" in str(spectrum) else 1e-15,
                  time=has_time)
            assert ("time_second" in spectrum) == has_time
    if count > 1 and (fmt in ("biologic_mpt", "biologic_mpr") or name == "cycles.tsv"):
        assert [s["cycle_number"][0] for s in spectra] == sorted({s["cycle_number"][0] for s in spectra})
    if count == 1:
        assert kv.read_spectrum(path).keys() == spectra[0].keys()
    else:
        with pytest.raises(ValueError, match=f"expected a single spectrum, found {count}"):
            kv.read_spectrum(path)


def test_restarted_frequency_splits_sweeps_of_one_cycle(tmp_path):
    rng = np.random.default_rng(7)
    sweeps = [w.sweep(rng, n=12), w.sweep(rng, n=12)]
    spectra = kv.read_spectra(write(tmp_path, "joined.mpt", w.biologic_mpt(sweeps, cycles=False)))
    assert [len(s["frequency_hertz"]) for s in spectra] == [12, 12]


def test_thousands_of_sweeps(tmp_path):
    rng = np.random.default_rng(3)
    sweeps = [w.sweep(rng, n=4) for _ in range(2000)]
    spectra = kv.read_spectra(write(tmp_path, "many.mpt", w.biologic_mpt(sweeps)))
    assert len(spectra) == 2000
    check(spectra[-1], sweeps[-1], time=False)


def test_dicts_feed_fit_and_dataframes(tmp_path):
    truth = [10.0, 50.0, 1e-5]
    f = np.logspace(-1, 5, 30)
    z = kv.Circuit("R0-(R1,C1)").with_values(truth).impedance(f)
    spectrum = kv.read_spectrum(write(tmp_path, "a.DTA", w.gamry([{"f": f, "z": z, "t": np.arange(30.0)}])))
    result = kv.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4]).fit(spectrum)
    np.testing.assert_allclose(list(result.params.values()), truth, rtol=1e-6)
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(spectrum)
    assert list(frame.columns[:3]) == KEYS and len(frame) == 30


def test_module_names():
    assert "read_spectra" not in kv.__all__ and len(kv.__all__) == 19
    assert callable(kv.read_spectra) and callable(kv.read_spectrum)
    assert kv.read_spectra.__text_signature__ == "(path, format=None)"


def q(path):
    return re.escape('"' + path + '"')


def test_other_formats_refused_when_forced(tmp_path):
    rng = np.random.default_rng(0)
    s = w.sweep(rng, n=5)
    files = {fmt: write(tmp_path, name, writer([s, s, s])) for name, fmt, writer, _ in CASES[::-1]}
    for fmt in ("gamry", "biologic_mpt", "biologic_mpr", "zplot", "autolab", "versastudio", "powersuite", "parstat",
                "chi", "palmsens"):
        for other, path in files.items():
            if other == fmt:
                continue
            with pytest.raises(ValueError, match=q(path) + ".*expected"):
                kv.read_spectra(path, format=fmt)


@pytest.mark.parametrize("content, message", [
    (b"", "line 0|expected an impedance file, found an empty file"),
    (b"hello\nworld\n", "expected a file in one of the formats 'gamry', 'biologic_mpt'"),
    (b"\x00\x01\x02binary", "found content none of them recognises"),
])
def test_unknown_content(tmp_path, content, message):
    path = write(tmp_path, "x.dat", content)
    with pytest.raises(ValueError, match=q(path) + ": .*" + message.split("|")[-1]):
        kv.read_spectra(path)


def truncated(data, marker):
    return data[: data.index(marker)]


S = w.sweep(np.random.default_rng(5), n=6)
EISTEXT = w.gamry([S], crlf=False).decode("latin-1")


@pytest.mark.parametrize("name, data, where, expected", [
    ("cut.DTA", w.gamry([S], crlf=False)[:-30], "line 26", r"expected 12 fields as in the column names, found 9"),
    ("cell.DTA", EISTEXT.replace(repr(float(S["z"][2].real)), "1.2.3").encode("latin-1"),
     f"line {EISTEXT.split(repr(float(S['z'][2].real)))[0].count(chr(10)) + 1}",
     r"expected a number in column \"Zreal\", found \"1.2.3\""),
    ("empty.DTA", b"EXPLAIN\nTAG\tEISPOT\nZCURVE\tTABLE\n\tPt\tFreq\tZreal\tZimag\n\t#\tHz\tohm\tohm\n", "line 5",
     "expected a ZCURVE table with at least one point above 0 Hz, found none"),
    ("nocols.DTA", b"EXPLAIN\nTAG\tEISPOT\nZCURVE\tTABLE\n\tPt\tFreq\tZmod\n\t#\tHz\tohm\n\t0\t1\t2\n", "line 4",
     "expected real and imaginary impedance columns"),
    ("notable.DTA", b"EXPLAIN\nTAG\tEISPOT\n", "line 2", "expected a ZCURVE table before the end of the file"),
    ("short.mpt", w.biologic_mpt([S])[:200], "line", "expected 15 header lines as declared on line 2"),
    ("blank.mpt", b"\n\n" + w.biologic_mpt([S])[:200], "line", "expected 15 header lines as declared on line 4"),
    ("bad.mpt", w.biologic_mpt([S]).replace(b"freq/Hz", b"frek/Hz"), "line 15", "expected a frequency column"),
    ("cut.mpr", w.biologic_mpr([S])[:-200], "byte offset", "expected a module body of"),
    ("ids.mpr", w.biologic_mpr([S]).replace(b"\x83\x00", b"\x84\x03", 1), "byte offset", "expected a known column id"),
    ("cut.ism", w.zahner(S)[:100], "byte offset 6", "expected a sample count that fits the file"),
    ("z.z", w.zplot(S)[:60], r"line \d+", "expected the line \"End Comments\" before the data"),
    ("cut.par", truncated(w.versastudio([S]), b"</Segment1>"), r"line \d+", "expected \"</Segment1>\" to close"),
    ("a.pssession", w.palmsens([("CH", [S])])[:-400], r"byte offset \d+", r"found the end of the text \(a truncated file\?\)"),
    ("utf8.pssession", truncated(w.palmsens([("CH", [S])], utf16=False), b"}"), r"byte offset \d+",
     r"expected a '}' to close the session object, found the end of the file \(a truncated file\?\)"),
    ("utf16.pssession", truncated(w.palmsens([("CH", [S])]), "}".encode("utf-16-le")), r"byte offset \d+",
     r"expected a '}' to close the session object"),
    ("nan.csv", b"freq,Z',Z''\n1,2,3\n2,abc,4\n", "line 3", "expected a number in column \"Z'\", found \"abc\""),
    ("sign.csv", b"freq,Z',Z''\n1,2,3\n2,+-4,4\n", "line 3", "expected a number in column \"Z'\", found \"\\+-4\""),
    ("cols.csv", b"freq;Z'\n1;2\n", "line 1", "expected a line of column names"),
    # Row names in every row but not among the column names (R's write.table).
    ("rows.csv", b'"freq","zreal","zimag"\n"a",100,5,-1\n', "line 2", "expected 3 fields as in the column names, found 4"),
    ("rows.txt", b'"freq" "zreal" "zimag"\n"1" 100 5 -1\n', "line 2", r"found 4 \(a row name without a column name"),
    ("decimal.csv", b"freq,zreal,zimag\n100,5,1,25,-2,5\n", "line 2", "found 6 .*decimal commas"),
    ("late.tsv", b"freq\tzreal\tzimag\n100\t5\t-1\n10\t6\t-2\t\t7\n", "line 3", "expected 3 fields .*, found 5"),
], ids=lambda v: v if isinstance(v, str) and len(v) < 20 else "")
def test_errors_name_file_place_and_expectation(tmp_path, name, data, where, expected):
    path = write(tmp_path, name, data)
    with pytest.raises(ValueError) as info:
        kv.read_spectra(path)
    message = str(info.value)
    assert message.startswith('"' + path + '"'), message
    assert re.search(where, message) and re.search(expected, message), message


NEGATIVE = dict(S, f=np.where(np.arange(len(S["f"])) == 2, -S["f"], S["f"]))  # the third point below 0 Hz


@pytest.mark.parametrize("name, writer, where", [
    ("a.csv", lambda s: w.csv([s]), "line 4"),
    ("a.mpt", lambda s: w.biologic_mpt([s]), "line 18"),
    ("a.DTA", lambda s: w.gamry([s]), r"line \d+"),
    ("nova.txt", w.autolab_nova, "line 4"),
    ("a.dfr", w.autolab_dfr, "line 22"),
    ("a.par", lambda s: w.versastudio([s]), r"line \d+"),
    ("a.mpr", lambda s: w.biologic_mpr([s]), r"byte offset \d+"),
    ("a.pssession", lambda s: w.palmsens([("CH", [s])]), r"byte offset \d+"),
], ids=lambda v: v if isinstance(v, str) and "." in v else "")
def test_negative_frequency_is_an_error(tmp_path, name, writer, where):
    path = write(tmp_path, name, writer(NEGATIVE))
    with pytest.raises(ValueError, match=q(path) + ", " + where + ": expected a frequency of 0 Hz or more") as info:
        kv.read_spectra(path)
    assert "found " + ('"' if where.startswith("line") else "") + "-398.1" in str(info.value), str(info.value)


@pytest.mark.parametrize("comments", [0, 45, 63])
@pytest.mark.parametrize("name", ["a.dat", "a"])
def test_column_names_found_as_far_down_as_detection_looks(tmp_path, comments, name):
    data = "".join(f"# note {i}\n" for i in range(comments)).encode() + w.csv([S])
    check(kv.read_spectrum(write(tmp_path, name, data)), S, rtol=1e-12, time=False)
    too_far = write(tmp_path, "far.dat", b"# note\n" * 64 + w.csv([S]))
    with pytest.raises(ValueError, match="expected a file in one of the formats"):
        kv.read_spectra(too_far)
    with pytest.raises(ValueError, match="line 1: expected a line of column names .* within the first 64 lines"):
        kv.read_spectra(too_far, format="csv")


def test_technique_line_far_down_is_not_taken_for_ch_instruments(tmp_path):
    # CH Instruments name the technique near the top; a note further down
    # that happens to read the same leaves a table a table.
    data = b"# note\n" * 20 + b"A.C. Impedance\n" + w.csv([S])
    check(kv.read_spectrum(write(tmp_path, "a.txt", data)), S, rtol=1e-12, time=False)


@pytest.mark.parametrize("ending", [",", ",,", ", , "])
def test_trailing_empty_fields_are_read(tmp_path, ending):
    data = "freq,zreal,zimag" + ending + "\n" + "".join(f"{w.num(f)},{w.num(z.real)},{w.num(z.imag)}{ending}\n" for f, z in zip(S["f"], S["z"]))
    check(kv.read_spectrum(write(tmp_path, "a.csv", data.encode())), S, time=False)


@pytest.mark.parametrize("extra, listed", [
    (b"\tx" * 200_000, r'\["frek/Hz", "Re\(Z\)/Ohm", .*"x", "x"\] and 199993 more$'),
    (b"\t" + b"y" * 100_000, r'\["frek/Hz", .*, "y{40}\.\.\."\]$'),
], ids=["many_names", "long_name"])
def test_missing_column_message_stays_short(tmp_path, extra, listed):
    path = write(tmp_path, "wide.mpt", w.biologic_mpt([S]).replace(b"freq/Hz", b"frek/Hz", 1).replace(b"Im(Y)/Ohm-1",
                                                                                                       b"Im(Y)/Ohm-1" + extra))
    with pytest.raises(ValueError, match="expected a frequency column") as info:
        kv.read_spectra(path)
    assert len(str(info.value)) < 1000 + len(path) and re.search(listed, str(info.value)), str(info.value)[:2000]


def test_argument_errors(tmp_path):
    path = write(tmp_path, "a.csv", w.csv([S]))
    with pytest.raises(ValueError, match="unknown format excel; expected one of 'gamry'"):
        kv.read_spectra(path, format="excel")
    with pytest.raises(TypeError, match="argument 'format' must be str or None, not int"):
        kv.read_spectra(path, format=3)
    with pytest.raises(FileNotFoundError):
        kv.read_spectra(str(tmp_path / "missing.csv"))
    assert len(kv.read_spectra(tmp_path / "a.csv")) == 1  # path-like


@pytest.mark.parametrize("names, roles", [
    (("Freq/Hz", "Z'", "-Z''"), ("f", "re", "-im")),
    (("Frequency (Hz)", "Re(Z)/Ohm", "-Im(Z)/Ohm"), ("f", "re", "-im")),
    (("f", "Zreal", "Zimag"), ("f", "re", "im")),
    (("Freq [Hz]", "Z' (\u03a9)", "-Z'' (\u03a9)"), ("f", "re", "-im")),
    (("Frequency", "|Z|", "Phase"), ("f", "mod", "phase")),
    (("freq", "|Z|/Ohm", "-Phase(Z)/deg", "time/s"), ("f", "mod", "-phase", "f")),
    (("Z''", "Z'", "Freq (Hz)"), ("im", "re", "f")),
])
@pytest.mark.parametrize("sep", [",", "\t", ";", " "])
def test_csv_header_spellings(tmp_path, names, roles, sep):
    if sep == " " and any(" " in n.replace(" (", "(").replace(" [", "[") for n in names):
        pytest.skip("names with inner spaces need a real separator")
    spectrum = kv.read_spectrum(write(tmp_path, "a.txt", w.csv([S], names=names, roles=roles, sep=sep, comma=sep == ";")))
    check(spectrum, S, rtol=1e-12, time=False)
    assert ("time_second" in spectrum) == ("time/s" in names)


@pytest.mark.parametrize("names, roles", [
    (("Freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm"), ("f", "re", "-im")),
    (("FREQ/HZ", "re(z)/ohm", "-IM(Z)/OHM", "time/s"), ("f", "re", "-im", "f")),
    (("freq/Hz", "|z|/ohm", "Phase(Z)/deg"), ("f", "mod", "phase")),
])
def test_ec_lab_column_names_in_any_case(tmp_path, names, roles):
    # Detection takes these for EC-Lab text; the reader must read them too.
    path = write(tmp_path, "bare.txt", w.csv([S], names=names, roles=roles, sep="\t"))
    for forced in (None, "biologic_mpt"):
        check(kv.read_spectrum(path, format=forced), S, rtol=1e-12, time=False)


RELEASE_CHECK = """
import os, sys, threading
import kelvora as kv
fifo, data = sys.argv[1], open(sys.argv[2], "rb").read()

def feed():
    with open(fifo, "wb") as f:  # opens once the reader has opened the pipe
        f.write(data)

threading.Thread(target=feed).start()
print(len(kv.read_spectra(fifo)))
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_reading_releases_the_interpreter_lock(tmp_path):
    # The reader blocks on a named pipe that a Python thread fills: it can
    # only be filled when the read has given the interpreter lock up.
    import subprocess

    source = write(tmp_path, "a.mpt", w.biologic_mpt([S, S]))
    fifo = str(tmp_path / "pipe.mpt")
    os.mkfifo(fifo)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [os.path.dirname(kv.__file__),
                                                                  os.environ.get("PYTHONPATH", "")] if p))
    run = subprocess.run([sys.executable, "-c", RELEASE_CHECK, fifo, source], capture_output=True, text=True,
                         timeout=120, env=env)
    assert run.returncode == 0 and run.stdout.strip() == "2", run.stderr


SIGNAL_CHECK = """
import os, signal, sys, threading, time
import kelvora as kv
fifo, data, mode = sys.argv[1], open(sys.argv[2], "rb").read(), sys.argv[3]
main, seen = threading.get_ident(), []

def handler(*_):
    seen.append(1)
    if mode == "raise":
        raise KeyboardInterrupt

signal.signal(signal.SIGUSR1, handler)

def feed():
    time.sleep(0.3)  # the reader waits in its open() for a writer
    signal.pthread_kill(main, signal.SIGUSR1)
    time.sleep(0.3)
    try:
        with open(fifo, "wb") as f:
            f.write(data[:100])
            f.flush()
            time.sleep(0.3)  # and now in a read() for more
            signal.pthread_kill(main, signal.SIGUSR1)
            time.sleep(0.3)
            f.write(data[100:])
    except BrokenPipeError:  # the reader gave up
        pass

try:  # a loaded machine may deliver the first signal before the read starts: still inside the try
    threading.Thread(target=feed, daemon=True).start()  # may be left waiting for a reader
    print(len(kv.read_spectra(fifo)), len(seen))
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo") or not hasattr(__import__("signal"), "pthread_kill"),
                    reason="needs named pipes and thread signals")
@pytest.mark.parametrize("mode, output", [("record", "2 2"), ("raise", "interrupted")])
def test_signal_while_reading_a_pipe(tmp_path, mode, output):
    # A signal whose handler raises nothing must not fail the read (it used
    # to come out as InterruptedError); one whose handler raises stops it
    # with that exception.
    import subprocess

    source = write(tmp_path, "a.mpt", w.biologic_mpt([S, S]))
    fifo = str(tmp_path / "pipe.mpt")
    os.mkfifo(fifo)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [os.path.dirname(kv.__file__),
                                                                  os.environ.get("PYTHONPATH", "")] if p))
    run = subprocess.run([sys.executable, "-c", SIGNAL_CHECK, fifo, source, mode], capture_output=True, text=True,
                         timeout=60, env=env)
    assert run.returncode == 0 and run.stdout.strip() == output, (run.stdout, run.stderr)


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

FINITE = st.floats(allow_nan=False, allow_infinity=False)
POSITIVE = st.floats(min_value=1e-300, max_value=1e300)
F32_TINY, F32_HUGE = float(np.float32(1e-30)), float(np.float32(1e30))
# Writers whose columns hold the values themselves (no modulus/phase, no float32).
EXACT_WRITERS = {
    "gamry": lambda s: w.gamry([s]), "gamry_comma": lambda s: w.gamry([s], comma=True),
    "mpt": lambda s: w.biologic_mpt([s]), "mpt_comma": lambda s: w.biologic_mpt([s], comma=True, header=False),
    "zplot2": lambda s: w.zplot(s), "zplotw": lambda s: w.zplot(s, variant="zplotw"),
    "nova": lambda s: w.autolab_nova(s, comma=True), "dfr": w.autolab_dfr, "par": lambda s: w.versastudio([s]),
    "powersuite": w.powersuite, "parstat": w.parstat, "chi": w.chi, "palmsens": lambda s: w.palmsens([("CH", [s])]),
    "csv": lambda s: w.csv([s]), "tsv": lambda s: w.csv([s], sep="\t", comma=True, bom=True, crlf=True),
}


@settings(max_examples=60, deadline=None)
@given(writer=st.sampled_from(sorted(EXACT_WRITERS)),
       points=st.lists(st.tuples(POSITIVE, FINITE, FINITE, st.floats(0, 1e9)), min_size=1, max_size=12,
                       unique_by=lambda p: p[0]))
def test_any_finite_values_round_trip(writer, points):
    # A sweep: frequencies strictly monotonic (a return to the first one
    # starts a new sweep in EC-Lab text).
    f, re_, im, t = (np.array(c) for c in zip(*sorted(points, reverse=True)))
    s = {"f": f, "z": re_ + 1j * im, "t": t}
    with np.errstate(all="ignore"), tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "x.dat")
        with open(path, "wb") as out:
            out.write(EXACT_WRITERS[writer](s))
        spectrum = kv.read_spectrum(path)
    np.testing.assert_array_equal(spectrum["frequency_hertz"], f)
    np.testing.assert_array_equal(spectrum["real_impedance_ohm"], re_)
    np.testing.assert_array_equal(spectrum["imaginary_impedance_ohm"], im)


@settings(max_examples=30, deadline=None)
@given(points=st.lists(st.tuples(st.floats(F32_TINY, F32_HUGE, width=32), st.floats(-F32_HUGE, F32_HUGE, width=32),
                                 st.floats(-F32_HUGE, F32_HUGE, width=32)), min_size=1, max_size=12),
       new_header=st.booleans())
def test_binary_ec_lab_round_trips_float32(points, new_header):
    f, re_, im = (np.array(c) for c in zip(*points))
    s = {"f": f, "z": re_ + 1j * im, "t": np.arange(len(f), dtype=float)}
    with np.errstate(all="ignore"), tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "x.mpr")
        with open(path, "wb") as out:
            out.write(w.biologic_mpr([s], new_header=new_header, ids=(1, 32, 37, 38, 4, 39, 24)))
        spectrum = kv.read_spectrum(path)
    np.testing.assert_array_equal(spectrum["frequency_hertz"], f)
    np.testing.assert_array_equal(spectrum["real_impedance_ohm"], re_)
    np.testing.assert_array_equal(spectrum["imaginary_impedance_ohm"], im)


@pytest.mark.parametrize("gap", ["", " ", "\t", "\t\t", "\r"])
def test_blank_line_inside_a_gamry_table_does_not_end_it(tmp_path, gap):
    s = w.sweep(np.random.default_rng(7), n=8)
    lines = w.gamry([s], aborted=True, crlf=False).decode("latin-1").split("\n")
    at = lines.index("ZCURVE\tTABLE") + 3 + 4  # after the fourth row
    path = write(tmp_path, "gap.DTA", "\n".join(lines[:at] + [gap, gap] + lines[at:]).encode("latin-1"))
    check(kv.read_spectrum(path), s)


def grouped_gamry():
    lines = w.gamry([S], crlf=False).decode("latin-1").split("\n")
    row = lines.index("ZCURVE\tTABLE") + 5  # the third row
    fields = lines[row].split("\t")
    fields[3] = "1,000"  # Freq
    return "\n".join(lines[:row] + ["\t".join(fields)] + lines[row + 1:]).encode("latin-1")


GROUPED_GAMRY = grouped_gamry()


@pytest.mark.parametrize("name, data, line, found", [
    # A spreadsheet's thousands separator in a column of a file that writes decimal points elsewhere.
    ("grouped.tsv", b"freq\tzreal\tzimag\n100\t12.5\t-1.5\n10,000\t12.25\t-0.5\n", 3, r'"10,000" \(a comma grouping'),
    ("grouped.csv", b"freq;zreal;zimag\n100;12.5;-1.5\n10,000;12;-1\n", 3, r'"10,000" \(a comma grouping'),
    ("grouped.txt", b"freq zreal zimag\n10,000 12.5 -1.5\n", 2, 'comma as on line 2 in column "zreal", found "12.5"'),
    ("german.csv", b"freq;zreal;zimag\n100;12,5;-1,5\n1.000;12;-1\n", 3, 'comma as on line 2 in column "freq", found "1.000"'),
    ("grouped.DTA", GROUPED_GAMRY, None, r'"1,000" \(a comma grouping'),
])
def test_one_decimal_mark_per_file(tmp_path, name, data, line, found):
    path = write(tmp_path, name, data)
    with pytest.raises(ValueError, match=(f"line {line}" if line else r"line \d+") + ": expected a decimal .*" + found):
        kv.read_spectra(path)


def second_run(writer, s, header_lines=1):
    """A file of two runs of a sweep: the rows of the second follow the first's (an experiment of two impedance
    steps, or a second run pasted below the first)."""
    first = writer(s)
    nl = b"\r\r\n" if b"\r\r\n" in first else b"\n"
    return first + nl.join(writer(s).split(nl)[header_lines:])


@pytest.mark.parametrize("name, writer", [
    ("parstat.txt", w.parstat),
    ("powersuite.txt", w.powersuite),
    ("nova.txt", w.autolab_nova),
    ("nova_comma.txt", lambda s: w.autolab_nova(s, comma=True)),
])
def test_second_run_below_the_first_is_a_second_sweep(tmp_path, name, writer):
    s = w.sweep(np.random.default_rng(3), n=7)
    spectra = kv.read_spectra(write(tmp_path, name, second_run(writer, s)))
    assert len(spectra) == 2
    for spectrum in spectra:
        check(spectrum, s, time=False)


def spreadsheet_csv(data, encoding="ascii"):
    """The file opened as comma-separated values and saved again: fields split at commas, their surrounding spaces
    kept, and every field with a double quote in it quoted with the quote written twice."""
    import csv
    import io

    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\r\n")
    for row in csv.reader(io.StringIO(data.decode(encoding))):
        writer.writerow(row)
    return out.getvalue().encode(encoding)


@pytest.mark.parametrize("name, writer", [
    ("chi.txt", w.chi),
    ("names.csv", lambda s: w.csv([s], names=("freq/Hz", "Z'/ohm", 'Z"/ohm'), roles=("f", "re", "im"))),
])
def test_names_with_a_double_quote_after_a_spreadsheet_saved_them(tmp_path, name, writer):
    s = w.sweep(np.random.default_rng(4), n=6)
    data = spreadsheet_csv(writer(s))
    assert b'""/ohm' in data
    check(kv.read_spectrum(write(tmp_path, name, data)), s, time=False)
