"""Real instrument files from ../shared/instruments (read in place, never
copied): each reads to its expected spectra, to the precision its values
are printed with in the expected table, with the sweeps split where the
table says."""
import csv
import glob
import io
import os
import re

import numpy as np
import pytest

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTRUMENTS = os.path.join(os.path.dirname(ROOT), "shared", "instruments")
FILES = sorted(glob.glob(os.path.join(INSTRUMENTS, "files", "*", "*")))
FORMAT_OF_DIR = {
    "autolab-z60w": "zplot", "biologic-mpr": "biologic_mpr", "biologic-mpt": "biologic_mpt", "chi-txt": "chi",
    "gamry-dta": "gamry", "palmsens-pssession": "palmsens", "parstat-txt": "parstat", "powersuite-txt": "powersuite",
    "versastudio-par": "versastudio", "zahner-ism": "zahner", "zplot-z": "zplot",
}

pytestmark = pytest.mark.skipif(not FILES, reason="../shared/instruments is not present")


def last_digit(text):
    """Half a unit in the last printed digit of a number such as 1.234E-05."""
    mantissa, _, exponent = text.lower().partition("e")
    decimals = len(mantissa.split(".")[1]) if "." in mantissa else 0
    return 0.5 * 10.0 ** (int(exponent or 0) - decimals)


def expected(path):
    rel = os.path.relpath(path, os.path.join(INSTRUMENTS, "files"))
    with open(os.path.join(INSTRUMENTS, "expected", rel + ".csv"), newline="") as f:
        rows = list(csv.reader(f))[1:]
    values = np.array([[float(x) for x in r] for r in rows])
    tolerance = np.array([[last_digit(x) for x in r] for r in rows])
    split = os.path.join(INSTRUMENTS, "expected", rel + ".spectra.csv")
    counts = [len(rows)]
    if os.path.exists(split):
        with open(split, newline="") as f:
            counts = [int(r["row_count"]) for r in csv.DictReader(f)]
    return values, tolerance, counts


@pytest.mark.parametrize("path", FILES, ids=[os.path.relpath(p, INSTRUMENTS) for p in FILES])
def test_file_reads_to_its_expected_spectra(path):
    values, tolerance, counts = expected(path)
    fmt = FORMAT_OF_DIR[os.path.basename(os.path.dirname(path))]
    for forced in (None, fmt):
        spectra = kv.read_spectra(path, format=forced)
        assert [len(s["frequency_hertz"]) for s in spectra] == counts
        got = np.concatenate([np.column_stack([s[k] for k in ("frequency_hertz", "real_impedance_ohm",
                                                              "imaginary_impedance_ohm")]) for s in spectra])
        # Half a printed digit, plus the float32 rounding of the binary EC-Lab files.
        slack = tolerance + (6e-8 * np.abs(values) if fmt == "biologic_mpr" else 1e-12 * np.abs(values))
        assert np.all(np.abs(got - values) <= slack), np.max(np.abs(got - values) - slack)
    if len(counts) == 1:
        assert set(kv.read_spectrum(path)) >= {"frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"}


def test_cycles_and_times_where_the_files_have_them():
    two = kv.read_spectra(os.path.join(INSTRUMENTS, "files", "biologic-mpt", "ex1.mpt"))
    assert [s["cycle_number"][0] for s in two] == [1.0, 2.0]
    gamry = kv.read_spectrum(os.path.join(INSTRUMENTS, "files", "gamry-dta", "exampleDataGamry.DTA"))
    assert np.all(np.diff(gamry["time_second"]) > 0)
    chi = kv.read_spectrum(os.path.join(INSTRUMENTS, "files", "chi-txt", "exampleDataCHInstruments.txt"))
    assert "time_second" not in chi and "cycle_number" not in chi


REALDATA = os.path.join(os.path.dirname(ROOT), "shared", "realdata")


@pytest.mark.skipif(not os.path.isdir(REALDATA), reason="../shared/realdata is not present")
def test_looped_csv_reads_as_one_spectrum_per_loop():
    # Ten loops of 89 frequencies and a 0 Hz row, counted by a "loop_index"
    # column; the converted spectra of the first and last loop are the oracle.
    path = os.path.join(REALDATA, "raw", "hybriddrt", "Sample2_PEIS_AtRest.csv")
    spectra = kv.read_spectra(path)
    assert [len(s["frequency_hertz"]) for s in spectra] == [89] * 10
    for loop in (0, 9):
        with open(os.path.join(REALDATA, "spectra", f"hybriddrt__SSB_Sample2_AtRest_loop{loop}.csv"), newline="") as f:
            rows = np.array([[float(x) for x in r] for r in list(csv.reader(f))[1:]])
        got = np.column_stack([spectra[loop][k] for k in ("frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm")])
        np.testing.assert_allclose(got, rows, rtol=1e-12)
    with pytest.raises(ValueError, match="expected a single spectrum, found 10"):
        kv.read_spectrum(path)


TEXT_FILES = [p for p in FILES if not p.endswith((".mpr", ".ism", ".pssession"))]


def text_of(data):
    """The file's text, decoded as its writer encoded it."""
    if data[:3] == b"\xef\xbb\xbf":
        return data[3:].decode("utf-8")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("cp1252")


def middle_of_rows(lines):
    """The index of a line in the middle of the longest run of data rows."""
    row = re.compile(r'^[\t ,;"]*[-+]?\d.*[\t,;]')
    runs, start = [], None
    for i, line in enumerate(lines + [""]):
        if row.match(line) and start is None:
            start = i
        elif not row.match(line) and start is not None:
            runs.append((i - start, start))
            start = None
    length, start = max(runs)
    return start + length // 2


def insert_mid(text, extra):
    lines = text.split("\n")
    i = middle_of_rows(lines)
    return "\n".join(lines[:i] + [extra] + lines[i:])


def each_row(text, change):
    lines = text.split("\n")
    i = middle_of_rows(lines)
    sep = "\t" if "\t" in lines[i] else ","
    row = re.compile(r'^[\t ,;"]*[-+]?\d.*[\t,;]')
    return "\n".join(change(line, sep) if row.match(line) else line for line in lines)


# What opening and re-saving in an editor or a spreadsheet does to a file.
RESAVED = {
    "utf-8 with BOM": lambda t: b"\xef\xbb\xbf" + t.encode("utf-8"),
    "utf-16 LE with BOM": lambda t: t.encode("utf-16-le").join([b"\xff\xfe", b""]),
    "utf-16 BE with BOM": lambda t: t.encode("utf-16-be").join([b"\xfe\xff", b""]),
    "cp1252": lambda t: t.encode("cp1252", errors="replace"),
    "CRLF": lambda t: t.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8"),
    "lone CR": lambda t: t.replace("\r\n", "\n").replace("\n", "\r").encode("utf-8"),
    "no final newline": lambda t: t.rstrip("\r\n").encode("utf-8"),
    "blank line among rows": lambda t: insert_mid(t, "").encode("utf-8"),
    "white-space line among rows": lambda t: insert_mid(t, " \t ").encode("utf-8"),
    "trailing separator": lambda t: each_row(t, lambda line, sep: line.rstrip("\r") + sep).encode("utf-8"),
    "quoted fields": lambda t: each_row(t, lambda line, sep: sep.join(
        '"' + f.strip() + '"' if f.strip() else f for f in line.rstrip("\r").split(sep))).encode("utf-8"),
}


def assert_resave_reads_the_same(tmp_path, path, data):
    """`data`, saved beside the original under its extension, reads to the same spectra."""
    copy = tmp_path / ("resaved" + os.path.splitext(path)[1])
    copy.write_bytes(data)
    original = kv.read_spectra(path)
    resaved = kv.read_spectra(str(copy))
    assert len(resaved) == len(original)
    for a, b in zip(resaved, original):
        assert set(a) == set(b)
        for key in b:
            np.testing.assert_array_equal(a[key], b[key])


@pytest.mark.parametrize("how", list(RESAVED))
@pytest.mark.parametrize("path", TEXT_FILES, ids=[os.path.relpath(p, INSTRUMENTS) for p in TEXT_FILES])
def test_resaved_file_reads_the_same_numbers(tmp_path, path, how):
    with open(path, "rb") as f:
        data = f.read()
    assert_resave_reads_the_same(tmp_path, path, RESAVED[how](text_of(data)))


COMMA_FILES = [p for p in TEXT_FILES if os.path.basename(os.path.dirname(p)) in ("chi-txt", "autolab-z60w")]


@pytest.mark.parametrize("path", COMMA_FILES, ids=[os.path.relpath(p, INSTRUMENTS) for p in COMMA_FILES])
def test_comma_separated_file_saved_again_by_a_spreadsheet(tmp_path, path):
    # Fields split at commas and written back, a field with a double quote
    # in it (CHI's Z"/ohm) quoted with the quote doubled.
    with open(path, "rb") as f:
        text = text_of(f.read())
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\r\n")
    for row in csv.reader(io.StringIO(text)):
        writer.writerow(row)
    assert_resave_reads_the_same(tmp_path, path, out.getvalue().encode("utf-8"))
