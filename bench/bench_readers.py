"""Reading instrument files: kelvora's readers against numpy.loadtxt, side
by side in one run.

For each format, N files (default 1,000) of a 60-point spectrum are written
to a temporary directory by the test suite's per-format writers
(tests/instrument_writers.py), and the same spectra as plain three-column
CSV.  Then, in a loop over the files:

  * kelvora.read_spectrum(path) on the instrument files, format detected;
  * numpy.loadtxt(path, delimiter=",", skiprows=1) on the CSV files.

The best of --repeat passes is reported (the files stay in the page cache).

Run: python bench/bench_readers.py [--files 1000] [--points 60]
"""
import argparse
import os
import sys
import tempfile
import time

import numpy as np

import kelvora as kv

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import instrument_writers as w  # noqa: E402

FORMATS = {
    "gamry": (".DTA", lambda s: w.gamry([s])),
    "biologic_mpt": (".mpt", lambda s: w.biologic_mpt([s])),
    "biologic_mpr": (".mpr", lambda s: w.biologic_mpr([s])),
    "zplot": (".z", lambda s: w.zplot(s)),
    "autolab": (".txt", lambda s: w.autolab_nova(s)),
    "versastudio": (".par", lambda s: w.versastudio([s])),
    "parstat": (".txt", lambda s: w.parstat(s)),
    "chi": (".txt", lambda s: w.chi(s)),
    "zahner": (".ism", lambda s: w.zahner(s)),
    "palmsens": (".pssession", lambda s: w.palmsens([("CH 1", [s])])),
    "csv": (".csv", lambda s: w.csv([s])),
}


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("--files", type=int, default=1000, help="files per format (default 1000)")
    parser.add_argument("--points", type=int, default=60, help="points per spectrum (default 60)")
    parser.add_argument("--repeat", type=int, default=3, help="passes; the fastest is reported (default 3)")
    parser.add_argument("--formats", nargs="*", default=list(FORMATS), choices=list(FORMATS), metavar="FORMAT",
                        help="formats to time (default all: " + ", ".join(FORMATS) + ")")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    sweeps = [w.sweep(rng, n=args.points) for _ in range(args.files)]
    with tempfile.TemporaryDirectory() as tmp:
        csv_paths = []
        for k, s in enumerate(sweeps):
            path = os.path.join(tmp, f"plain{k}.csv")
            np.savetxt(path, np.column_stack([s["f"], s["z"].real, s["z"].imag]), delimiter=",",
                       header="frequency_hertz,real_impedance_ohm,imaginary_impedance_ohm", comments="")
            csv_paths.append(path)
        t_loadtxt = best_of(lambda: [np.loadtxt(p, delimiter=",", skiprows=1) for p in csv_paths], args.repeat)
        print(f"{args.files} files of {args.points} points each; best of {args.repeat} passes\n")
        print(f"{'format':<14}{'bytes/file':>11}{'kelvora ms':>12}{'loadtxt ms':>12}{'ratio':>8}")
        for name in args.formats:
            ext, writer = FORMATS[name]
            paths = []
            for k, s in enumerate(sweeps):
                path = os.path.join(tmp, f"{name}{k}{ext}")
                with open(path, "wb") as f:
                    f.write(writer(s))
                paths.append(path)
            first = kv.read_spectrum(paths[0])
            assert len(first["frequency_hertz"]) == args.points
            t_kv = best_of(lambda: [kv.read_spectrum(p) for p in paths], args.repeat)
            size = os.path.getsize(paths[0])
            print(f"{name:<14}{size:>11}{1e3 * t_kv:>12.1f}{1e3 * t_loadtxt:>12.1f}{t_kv / t_loadtxt:>8.3f}")
            for p in paths:
                os.remove(p)
        print("\nratio = kelvora time / numpy.loadtxt time on the same spectra as plain CSV (below 1: kelvora faster)")


if __name__ == "__main__":
    main()
