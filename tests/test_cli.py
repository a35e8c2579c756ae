"""The kelvora command, run in a subprocess as `python -m kelvora` (and as the
installed console script when there is one): its rows equal the library's
own results, errors name the file, and the exit status tells what failed."""
import csv
import glob
import json
import math
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTRUMENTS = sorted(glob.glob(os.path.join(os.path.dirname(ROOT), "shared", "instruments", "files", "*", "*")))
FREQS = np.logspace(5, -2, 40)
TRUTH = [10.0, 50.0, 100.0, 1e-5, 0.85]  # randles: R0, R1, W1, CPE1.q, CPE1.alpha


def run(*args, command=None, timeout=300, env=None, text=True, stdout=subprocess.PIPE):
    # The child imports the very package this suite imported.
    env = {**os.environ, **(env or {})}
    package_parent = os.path.dirname(os.path.dirname(kv.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [package_parent, env.get("PYTHONPATH")] if p)
    argv = command or [sys.executable, "-m", "kelvora"]
    return subprocess.run([*argv, *map(str, args)], stdout=stdout, stderr=subprocess.PIPE, text=text, timeout=timeout,
                          env=env)


def write_spectrum(path, f, z):
    with open(path, "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"])
        w.writerows((repr(float(a)), repr(float(b.real)), repr(float(b.imag))) for a, b in zip(f, z))
    return str(path)


def randles_files(tmp_path, count=3):
    rng = np.random.default_rng(5)
    paths = []
    for i in range(count):
        z = kv.Circuit("randles").with_values([v * (1 + 0.2 * i) for v in TRUTH[:4]] + [0.8]).impedance(FREQS)
        z = z * (1 + 0.005 * rng.standard_normal(z.size))
        paths.append(write_spectrum(tmp_path / f"cell{i}.csv", FREQS, z))
    return paths


def read_rows(path):
    with open(path, newline="") as fh:
        return list(csv.DictReader(fh))


def cell(value):
    """A value as the command writes it to CSV."""
    if isinstance(value, np.generic):
        value = value.item()
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return str(value)


@pytest.mark.parametrize("args", [[], ["fit"], ["validate"], ["models"]], ids=lambda a: " ".join(a) or "kelvora")
def test_every_command_answers_help(args):
    out = run(*args, "--help")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("usage: kelvora" + "".join(" " + a for a in args))
    assert "exit status" in out.stdout or args == ["models"]


def test_version_and_missing_command():
    out = run("--version")
    assert (out.returncode, out.stdout.strip()) == (0, f"kelvora {kv.__version__}")
    out = run()
    assert out.returncode == 2 and "required" in out.stderr


def test_models_lists_every_trained_model_with_its_expression():
    out = run("models", "--csv")
    assert out.returncode == 0, out.stderr
    rows = list(csv.DictReader(out.stdout.splitlines()))
    assert [r["model"] for r in rows] == kv.Circuit.ml_circuits()
    for r in rows:
        # The expression is the model: same parameters, same impedance.
        model, written = kv.Circuit(r["model"]), kv.Circuit(r["expression"])
        assert written.param_names() == model.param_names()
        assert int(r["parameters"]) == len(model.param_names())
        np.testing.assert_array_equal(written.with_values(model.param_values()).impedance(FREQS),
                                      model.impedance(FREQS))
    table = run("models").stdout.splitlines()
    assert table[0].split() == ["model", "parameters", "expression"] and len(table) == len(rows) + 1


def test_fit_rows_equal_fit_many(tmp_path):
    paths = randles_files(tmp_path)
    out_csv = tmp_path / "results.csv"
    out = run("fit", *paths, "--model", "randles", "--out", out_csv, "--threads", 2)
    assert out.returncode == 0, out.stderr
    rows = read_rows(out_csv)
    spectra = [kv.read_spectrum(p) for p in paths]
    expected = kv.results_table(kv.fit_many(kv.Circuit("randles"), spectra, threads=1))
    assert [(r["file"], r["spectrum"], r["cycle"], r["points"]) for r in rows] == \
        [(p, "0", "", str(len(FREQS))) for p in paths]
    assert list(rows[0])[4:] == list(expected)
    for i, r in enumerate(rows):
        for name, column in expected.items():
            assert r[name] == cell(column[i]), name
    # The fits found the cells the spectra were drawn from (0.5 % noise).
    fitted = [float(rows[0][name]) for name in kv.Circuit("randles").param_names()]
    np.testing.assert_allclose(fitted[:4], TRUTH[:4], rtol=0.05)


def rows_equal_fits(rows, circuit, paths, **options):
    expected = kv.results_table(kv.fit_many(circuit, [kv.read_spectrum(p) for p in paths], threads=1, **options))
    for i, r in enumerate(rows):
        for name, column in expected.items():
            assert r[name] == cell(column[i]), name
    return expected


def test_bounds_and_fixed_values_reach_every_fit(tmp_path):
    paths = randles_files(tmp_path, 2)
    out = run("fit", *paths, "-m", "randles", "--fix", "R0.r=12", "--bound", "CPE1.alpha=0.9:", "--bound",
              "R1.r=:45", "--no-progress")
    assert out.returncode == 0, out.stderr
    rows = list(csv.DictReader(out.stdout.splitlines()))
    circuit = kv.Circuit("randles").with_bounds({"CPE1.alpha": (0.9, 1.0), "R1.r": (1e-12, 45.0)})
    expected = rows_equal_fits(rows, circuit.with_fixed({"R0.r": 12.0}), paths)
    # The constraints bind: R0 is held, alpha and R1 sit at the bounds the truth lies beyond.
    assert list(expected["R0.r"]) == [12.0, 12.0] and list(expected["R0.r_stderr"]) == [0.0, 0.0]
    assert min(expected["CPE1.alpha"]) >= 0.9 and max(expected["R1.r"]) <= 45.0


@pytest.mark.parametrize("kind", ["Circuit", "FitResult"])
def test_model_saved_as_json_starts_every_fit_from_its_values(tmp_path, kind):
    paths = randles_files(tmp_path, 2)
    circuit = kv.Circuit("randles").with_values([11.0, 40.0, 90.0, 2e-5, 0.8]).with_fixed({"R0.r": 11.0})
    saved = circuit.to_dict() if kind == "Circuit" else circuit.fit(kv.read_spectrum(paths[0])).to_dict()
    (tmp_path / "saved.json").write_text(json.dumps(saved))
    out = run("fit", *paths, "-m", tmp_path / "saved.json", "--no-progress")
    assert out.returncode == 0, out.stderr
    start = circuit if kind == "Circuit" else kv.FitResult.from_dict(saved).circuit
    expected = rows_equal_fits(list(csv.DictReader(out.stdout.splitlines())), start, paths)
    assert list(expected["R0.r"]) == [11.0, 11.0]


@pytest.mark.parametrize("args, message", [
    (["--fix", "R0.r"], "--fix R0.r: expected NAME=VALUE"),
    (["--fix", "R9.r=1"], '--fix: unknown parameter "R9.r" (did you mean "R0.r"?)'),
    (["--fix", "CPE1.alpha=2"], '--fix: fixed value of "CPE1.alpha" lies outside its bounds'),
    (["--fix", "R0.r=ten"], "--fix R0.r=ten: 'ten' is not a number"),
    (["--bound", "CPE1.alpha=0.5"], "--bound CPE1.alpha=0.5: expected NAME=LO:HI"),
    (["--bound", "CPE1.alpha=1:0.5"], '--bound: lower bound of "CPE1.alpha" must be below its upper bound'),
    (["--bound", "R0.r=5:6", "--fix", "R0.r=7"], '--fix: fixed value of "R0.r" lies outside its bounds'),
    (["-m", "missing.json"], "--model missing.json: No such file or directory"),
    (["-m", "{dir}/bad.json"], "--model {dir}/bad.json: not a JSON file (Expecting property name"),
    (["-m", "{dir}/list.json"], "--model {dir}/list.json: "),
])
def test_constraint_and_saved_model_errors_are_usage_errors_before_any_work(tmp_path, args, message):
    (tmp_path / "bad.json").write_text("{'type': 'Circuit'")
    (tmp_path / "list.json").write_text("[1, 2]")
    args = [a.format(dir=tmp_path) for a in args]
    model = [] if "-m" in args else ["-m", "randles"]
    # The unreadable input would be reported if any file were read before the check.
    out = run("fit", *randles_files(tmp_path, 1), tmp_path / "unreadable.DTA", *model, *args, "-o",
              tmp_path / "r.csv")
    assert out.returncode == 2 and out.stdout == "", out.stderr
    assert out.stderr.startswith("kelvora fit: error: " + message.format(dir=tmp_path)), out.stderr
    assert "unreadable" not in out.stderr and not (tmp_path / "r.csv").exists()


def test_fit_writes_csv_to_stdout_with_the_options_passed_on(tmp_path):
    paths = randles_files(tmp_path, 2)
    out = run("fit", *paths, "-m", "R0-(R1,C1)", "--method", "nelder_mead", "--no-guess", "--seed", 3,
              "--weight", "unit", "--no-progress")
    assert out.returncode == 0, out.stderr
    rows = list(csv.DictReader(out.stdout.splitlines()))
    circuit = kv.Circuit("R0-(R1,C1)")
    expected = kv.results_table([circuit.fit(kv.read_spectrum(p), method="nelder_mead", guess_init=False, seed=3,
                                             weight="unit") for p in paths])
    assert [r["R1.r"] for r in rows] == [cell(v) for v in expected["R1.r"]]
    assert out.stderr == ""
    # A progress bar goes to stderr only, and only when asked for (stderr is no terminal here).
    shown = run("fit", *paths, "-m", "R0-(R1,C1)", "--method", "nelder_mead", "--no-guess", "--seed", 3,
                "--weight", "unit", "--progress")
    assert (shown.returncode, shown.stdout) == (0, out.stdout)
    assert f"{len(paths)}/{len(paths)}" in shown.stderr


def test_bad_file_is_named_and_the_others_still_fitted(tmp_path):
    good = randles_files(tmp_path, 2)
    garbage = tmp_path / "garbage.csv"
    garbage.write_text("this is not a spectrum\n1,2\n")
    missing = tmp_path / "missing.DTA"
    # One point: the file reads, the fit of its spectrum fails.
    short = write_spectrum(tmp_path / "short.csv", FREQS[:1], np.array([10 - 1j]))
    out_csv = tmp_path / "results.csv"
    out = run("fit", good[0], garbage, missing, short, good[1], "-m", "randles", "-o", out_csv)
    assert out.returncode == 1
    for name in ("garbage.csv", "missing.DTA", "short.csv"):
        assert name in out.stderr
    rows = read_rows(out_csv)
    assert [r["file"] for r in rows] == [good[0], short, good[1]]
    errors = [r[k] for r in rows for k in r if k.startswith("error")]
    assert sum(1 for e in errors if e) == 1
    assert [r["success"] for r in rows][0::2] == ["true", "true"]


@pytest.mark.parametrize("args, message", [
    (["--model", "nope"], "--model nope"),
    (["--model", "randles", "--method", "newton"], "invalid choice"),
    (["--model", "randles", "--threads", "0"], "at least 1"),
    (["--model", "randles", "--max-iterations", "x"], "invalid"),
    (["--model", "randles", "--max-iterations", str(2**32)], "at most 4294967295"),
    (["--model", "randles", "--seed", "-5"], "--seed: must lie in [0, 2**64 - 1]"),
    (["--model", "randles", "--seed", str(2**64)], "--seed: must lie in [0, 2**64 - 1]"),
])
def test_fit_usage_errors_exit_2(tmp_path, args, message):
    out = run("fit", *randles_files(tmp_path, 1), *args)
    assert out.returncode == 2 and message in out.stderr and out.stdout == ""


def usage_error(out, command):
    """The run stopped with one line on stderr, exit 2, and wrote nothing to stdout."""
    assert out.returncode == 2, out.stderr
    assert out.stderr.startswith(f"kelvora {command}: error: ") and out.stderr.count("\n") == 1, out.stderr
    assert out.stdout == ""


@pytest.mark.parametrize("command", ["fit", "validate"])
@pytest.mark.parametrize("target", ["missing/results.csv", "."], ids=["missing folder", "a folder"])
def test_out_that_cannot_be_written_is_a_usage_error_before_any_work(tmp_path, command, target):
    # The unreadable input would be reported if any file were read before --out is opened.
    args = ["-m", "randles"] if command == "fit" else []
    out = run(command, *randles_files(tmp_path, 1), tmp_path / "unreadable.DTA", *args, "--out", tmp_path / target)
    usage_error(out, command)
    assert "--out" in out.stderr


@pytest.mark.parametrize("command", ["fit", "validate"])
def test_out_naming_an_input_file_leaves_it_alone(tmp_path, command):
    (path,) = randles_files(tmp_path, 1)
    before = open(path, "rb").read()
    args = ["-m", "randles"] if command == "fit" else []
    usage_error(run(command, path, *args, "--out", path), command)
    assert open(path, "rb").read() == before


@pytest.mark.parametrize("option", ["--model", "--weights"])
def test_out_naming_the_model_or_weights_file_leaves_it_alone(tmp_path, option):
    (path,) = randles_files(tmp_path, 1)
    if option == "--model":
        read_too = tmp_path / "saved.json"
        read_too.write_text(json.dumps(kv.Circuit("randles").with_values(TRUTH).to_dict()))
        args = ["-m", read_too]
    else:
        read_too = tmp_path / "mine.eisnn"
        shutil.copy(os.path.join(ROOT, "src", "models", "randles.eisnn"), read_too)
        args = ["-m", "randles", "--weights", read_too]
    before = read_too.read_bytes()
    out = run("fit", path, *args, "--out", read_too)
    usage_error(out, "fit")
    assert f"is also the {option} file" in out.stderr
    assert read_too.read_bytes() == before


@pytest.mark.parametrize("model", ["randles", "R0-(R1,C1)-W1", "saved.json"])
def test_fit_csv_has_the_model_s_columns_also_when_no_file_gives_a_spectrum(tmp_path, model):
    (good,) = randles_files(tmp_path, 1)
    (tmp_path / "saved.json").write_text(json.dumps(kv.Circuit("rq").with_fixed({"R0.r": 1.0}).to_dict()))
    model = str(tmp_path / model) if model.endswith(".json") else model
    fitted = run("fit", good, "-m", model, "--no-guess", "-o", tmp_path / "good.csv")
    assert fitted.returncode == 0, fitted.stderr
    missing = run("fit", tmp_path / "missing.DTA", "-m", model, "--no-guess", "-o", tmp_path / "none.csv")
    assert missing.returncode == 1 and "missing.DTA" in missing.stderr
    with open(tmp_path / "good.csv", newline="") as fh:
        header = next(csv.reader(fh))
    with open(tmp_path / "none.csv", newline="") as fh:
        assert list(csv.reader(fh)) == [header]


@pytest.mark.parametrize("option, target, message", [
    ("--weights", "missing.eisnn", "No such file"),
    ("--weights", ".", "Is a directory"),
    ("--weights", "a_file", "weight file"),  # empty: not a network
    ("--weights", "rc.eisnn", "which is a different circuit"),
    ("--plots", "a_file", "not a directory"),
    ("--plots", "a_file/plots", "a_file is not a directory"),
])
def test_fit_weights_and_plots_that_cannot_serve_are_usage_errors_before_any_work(tmp_path, option, target,
                                                                                  message):
    if option == "--plots":
        pytest.importorskip("matplotlib")  # without it, the missing extra is the usage error
    (tmp_path / "a_file").write_text("")
    shutil.copy(os.path.join(ROOT, "src", "models", "rc.eisnn"), tmp_path / "rc.eisnn")
    out = run("fit", *randles_files(tmp_path, 1), "-m", "randles", "-o", tmp_path / "r.csv", option,
              tmp_path / target)
    usage_error(out, "fit")
    assert f"{option} " in out.stderr and message in out.stderr
    assert not (tmp_path / "r.csv").exists()


@pytest.mark.parametrize("model, hint", [("randlez", 'did you mean "randles"?'), ("xyz", "the models are rc, "),
                                         ("two_rq2", 'did you mean "two_rq"?'),
                                         ("sei_randles_w0", 'did you mean "sei_randles_wo"?')])
def test_misspelt_model_name_is_one_line_naming_the_models(tmp_path, model, hint):
    out = run("fit", *randles_files(tmp_path, 1), "-m", model)
    usage_error(out, "fit")
    assert f"--model {model}: not a model name" in out.stderr and hint in out.stderr


def test_a_word_with_digits_like_no_model_gets_the_parser_s_message(tmp_path):
    out = run("fit", *randles_files(tmp_path, 1), "-m", "R1x")
    assert out.returncode == 2 and out.stdout == ""
    assert "--model R1x: unexpected trailing input" in out.stderr and "not a model name" not in out.stderr


def test_guess_for_a_circuit_without_a_network_is_a_usage_error_before_any_work(tmp_path):
    # The unreadable input would be reported if any file were read before the check.
    out = run("fit", *randles_files(tmp_path, 1), tmp_path / "unreadable.DTA", "-m", "R0-(R1,C1)-W2", "--guess",
              "-o", tmp_path / "r.csv")
    usage_error(out, "fit")
    assert "--guess: No training data on this circuit" in out.stderr and "--no-guess" in out.stderr
    assert not (tmp_path / "r.csv").exists()


def test_circuit_without_a_network_is_noted_once_in_the_command_s_terms(tmp_path):
    paths = randles_files(tmp_path, 2)
    out = run("fit", *paths, "-m", "R0-(R1,C1)-W2", "--no-progress")
    assert out.returncode == 0, out.stderr
    # One line that names the option to use, not the library's guess_init= or a Python warning.
    assert out.stderr.count("\n") == 1 and "--no-guess" in out.stderr, out.stderr
    assert "Warning" not in out.stderr and "guess_init" not in out.stderr
    quiet = run("fit", *paths, "-m", "R0-(R1,C1)-W2", "--no-progress", "--no-guess")
    assert (quiet.returncode, quiet.stderr, quiet.stdout) == (0, "", out.stdout)


@pytest.mark.parametrize("action", ["ignore", "error"])
def test_the_no_network_note_follows_the_user_s_warning_filters(tmp_path, action):
    paths = randles_files(tmp_path, 2)
    out = run("fit", *paths, "-m", "R0-(R1,C1)-W2", "--no-progress", env={"PYTHONWARNINGS": action})
    if action == "ignore":
        assert (out.returncode, out.stderr) == (0, ""), out.stderr
        assert out.stdout.count("\n") == 3
    else:  # the note is the error, in the command's terms
        usage_error(out, "fit")
        assert "--no-guess" in out.stderr and "Traceback" not in out.stderr and "guess_init" not in out.stderr


def test_fit_with_a_network_for_the_model(tmp_path):
    shutil.copy(os.path.join(ROOT, "src", "models", "randles.eisnn"), tmp_path / "mine.eisnn")
    out = run("fit", *randles_files(tmp_path, 1), "-m", "randles", "--weights", tmp_path / "mine.eisnn")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[0].startswith("file,spectrum,cycle,points,R0.r,")


def test_fit_plots_without_matplotlib_is_a_usage_error_before_any_work(tmp_path, monkeypatch, capsys):
    from kelvora import cli

    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib raises ImportError
    with pytest.raises(SystemExit) as stop:
        cli.main(["fit", *randles_files(tmp_path, 1), "-m", "randles", "-o", str(tmp_path / "r.csv"),
                  "--plots", str(tmp_path / "plots")])
    assert stop.value.code == 2
    assert "--plots needs matplotlib" in capsys.readouterr().err
    assert not (tmp_path / "r.csv").exists()


@pytest.mark.parametrize("command", ["fit", "validate"])
@pytest.mark.parametrize("to", ["--out", "stdout"])
def test_file_name_that_is_not_utf8_is_written_back_as_given(tmp_path, command, to):
    name = os.fsdecode(b"cell_\xff.csv")
    try:
        os.rename(randles_files(tmp_path, 1)[0], tmp_path / name)
    except (OSError, UnicodeError):
        pytest.skip("the file system takes no such name")
    args = ["-m", "randles"] if command == "fit" else []
    # A strict stdout, as in a UTF-8 locale other than C.UTF-8.
    target = tmp_path / "r.csv" if to == "--out" else "-"
    out = run(command, tmp_path / name, *args, "--out", target, env={"PYTHONIOENCODING": "utf-8:strict"}, text=False)
    assert out.returncode in (0, 3), out.stderr.decode(errors="replace")
    written = (tmp_path / "r.csv").read_bytes() if to == "--out" else out.stdout
    (row,) = csv.DictReader(written.decode(errors="surrogateescape").splitlines())
    assert row["file"] == str(tmp_path / name)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
@pytest.mark.parametrize("command", ["fit", "validate"])
@pytest.mark.parametrize("to", ["--out", "stdout"])
def test_results_that_cannot_be_written_are_one_error_line(tmp_path, command, to):
    args = ["-m", "randles"] if command == "fit" else []
    with open("/dev/full", "w") as full:
        if to == "--out":
            out = run(command, *randles_files(tmp_path, 1), *args, "--out", "/dev/full")
        else:
            out = run(command, *randles_files(tmp_path, 1), *args, stdout=full)
    assert out.returncode == 1
    assert out.stderr.startswith("kelvora: writing the results: ") and out.stderr.count("\n") == 1, out.stderr


@pytest.mark.parametrize("command", ["fit", "validate"])
def test_run_stopped_before_its_results_keeps_the_earlier_out_file(tmp_path, monkeypatch, command):
    from kelvora import cli

    def stop(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(kv, "fit_many" if command == "fit" else "lin_kk", stop)
    out_csv = tmp_path / "results.csv"
    out_csv.write_text("earlier results\n")
    args = ["-m", "randles"] if command == "fit" else []
    assert cli.main([command, *randles_files(tmp_path, 1), *args, "-o", str(out_csv)]) == 130
    assert out_csv.read_text() == "earlier results\n"


@pytest.mark.parametrize("command", ["fit", "validate"])
def test_out_file_is_replaced_not_appended_to(tmp_path, command):
    out_csv = tmp_path / "results.csv"
    out_csv.write_text("earlier results, longer than the header of the new ones\n" * 50)
    args = ["-m", "randles"] if command == "fit" else []
    out = run(command, *randles_files(tmp_path, 1), *args, "-o", out_csv)
    assert out.returncode in (0, 3), out.stderr
    assert out_csv.read_text().startswith("file,spectrum,") and "earlier" not in out_csv.read_text()


def test_fit_draws_a_nyquist_plot_per_spectrum(tmp_path):
    pytest.importorskip("matplotlib")
    paths = randles_files(tmp_path, 2)
    out = run("fit", *paths, "-m", "randles", "-o", tmp_path / "r.csv", "--plots", tmp_path / "plots")
    assert out.returncode == 0, out.stderr
    pngs = sorted(os.listdir(tmp_path / "plots"))
    assert pngs == ["cell0_0.png", "cell1_0.png"]
    assert all((tmp_path / "plots" / p).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" for p in pngs)


@pytest.mark.parametrize("progress", ["--progress", "--no-progress"])
def test_fit_plots_have_a_progress_bar_of_their_own(tmp_path, progress):
    # Drawing takes far longer than fitting: the fits' bar alone would sit at its end meanwhile.
    pytest.importorskip("matplotlib")
    out = run("fit", *randles_files(tmp_path, 3), "-m", "randles", "-o", tmp_path / "r.csv",
              "--plots", tmp_path / "plots", progress)
    assert out.returncode == 0, out.stderr
    bars = [line for line in out.stderr.replace("\r", "\n").splitlines() if line.startswith("plots")]
    if progress == "--progress":
        assert bars and "3/3" in bars[-1]  # the plain bar or tqdm's
    else:
        assert out.stderr == ""


def test_fit_plots_a_file_whose_name_is_not_utf8(tmp_path):
    pytest.importorskip("matplotlib")
    name = os.fsdecode(b"cell_\xff.csv")
    try:
        os.rename(randles_files(tmp_path, 1)[0], tmp_path / name)
    except (OSError, UnicodeError):
        pytest.skip("the file system takes no such name")
    out = run("fit", tmp_path / name, "-m", "randles", "-o", tmp_path / "r.csv", "--plots", tmp_path / "plots")
    assert out.returncode == 0, out.stderr
    assert os.listdir(tmp_path / "plots") == [os.fsdecode(b"cell_\xff_0.png")]


def two_arcs(f):
    return kv.Circuit("two_rq").with_values([10.0, 20.0, 1e-5, 0.8, 40.0, 1e-3, 0.75]).impedance(f)


def kk_violating(f, z):
    """The spectrum with its imaginary part doubled at low frequency only: no causal system has it."""
    return z.real + 1j * z.imag * np.where(f < 1.0, 2.0, 1.0)


@pytest.mark.parametrize("corrupt, status, verdict", [(False, 0, "pass"), (True, 3, "fail")])
def test_validate_reports_lin_kk_and_a_verdict(tmp_path, corrupt, status, verdict):
    f = np.logspace(5, -2, 50)
    z = two_arcs(f)
    if corrupt:
        z = kk_violating(f, z)
    path = write_spectrum(tmp_path / "s.csv", f, z)
    out = run("validate", path, "--out", tmp_path / "kk.csv")
    assert out.returncode == status, out.stderr
    (row,) = read_rows(tmp_path / "kk.csv")
    r = kv.lin_kk(kv.read_spectrum(path))
    worst = max(np.max(np.abs(r.residuals_real)), np.max(np.abs(r.residuals_imag)))
    assert (row["m"], row["mu"], row["pseudo_chi_square"], row["max_residual"], row["verdict"]) == \
        (str(r.m), repr(r.mu), repr(r.pseudo_chi_square), repr(float(worst)), verdict)
    # The table on stdout holds the same row.
    assert out.stdout.splitlines()[0].split() == ["file", "spectrum", "cycle", "points", "m", "mu",
                                                  "pseudo_chi_square", "max_residual", "verdict"]
    assert out.stdout.splitlines()[1].split()[-1] == verdict


def test_validate_unreadable_file_exits_1(tmp_path):
    f = np.logspace(5, -2, 50)
    good = write_spectrum(tmp_path / "s.csv", f, two_arcs(f))
    out = run("validate", good, tmp_path / "nothing.mpr", "--out", "-")
    assert out.returncode == 1
    assert "nothing.mpr" in out.stderr
    rows = list(csv.DictReader(out.stdout.splitlines()))
    assert [r["verdict"] for r in rows] == ["pass"]


@pytest.mark.skipif(not INSTRUMENTS, reason="../shared/instruments is not present")
def test_instrument_files_give_one_row_per_sweep(tmp_path):
    sweeps = [(p, i) for p in INSTRUMENTS for i in range(len(kv.read_spectra(p)))]
    out = run("fit", *INSTRUMENTS, "-m", "R0-(R1,C1)", "-o", tmp_path / "fit.csv")
    rows = read_rows(tmp_path / "fit.csv")
    assert [(r["file"], int(r["spectrum"])) for r in rows] == sweeps
    failed = [r["file"] for r in rows if any(r[k] for k in r if k.startswith("error"))]
    assert out.returncode == (1 if failed else 0), out.stderr
    assert all(os.path.basename(p) in out.stderr for p in failed)
    out = run("validate", *INSTRUMENTS, "-o", tmp_path / "kk.csv")
    rows = read_rows(tmp_path / "kk.csv")
    assert [(r["file"], int(r["spectrum"])) for r in rows] == sweeps
    assert {r["verdict"] for r in rows} <= {"pass", "fail", "error"}
    assert out.returncode == (1 if any(r["verdict"] == "error" for r in rows) else
                              3 if any(r["verdict"] == "fail" for r in rows) else 0)
    assert all(math.isfinite(float(r["mu"])) for r in rows if r["verdict"] != "error")


@pytest.mark.skipif(shutil.which("kelvora") is None, reason="the kelvora console script is not installed")
def test_console_script_runs_the_same_command():
    script = [shutil.which("kelvora")]
    assert run("--version", command=script).stdout == run("--version").stdout
    assert run("models", command=script).stdout == run("models").stdout


def test_every_fit_method_is_offered():
    from kelvora import cli

    # The methods fit() knows, as its unknown-method message lists them.
    with pytest.raises(ValueError) as info:
        kv.Circuit("R0-(R1,C1)").fit([1.0, 2.0], [1.0, 1.0], method="?", guess_init=False)
    known = set(re.findall(r'"([a-z_]+)"', str(info.value).split("expected one of", 1)[1]))
    assert set(cli.METHODS) == known
