"""Writers of small potentiostat files, one per format, built from the
formats' published layouts.  Each takes a list of sweeps (dicts with
frequency f, impedance z and optionally time t) and returns the file's
bytes; options produce the awkward cases (decimal commas, byte-order marks,
several cycles, aborted runs)."""
import json
import struct

import numpy as np


def sweep(rng, n=None, f_max=1e5, f_min=0.1, time0=0.0):
    """A random spectrum of R0-(R1,C1)-L with positive frequencies, descending."""
    n = n or int(rng.integers(3, 30))
    f = np.logspace(np.log10(f_max), np.log10(f_min), n)
    r0, r1, c1, l0 = 10 ** rng.uniform(-2, 3), 10 ** rng.uniform(-1, 4), 10 ** rng.uniform(-7, -3), 10 ** rng.uniform(-8, -5)
    w = 2 * np.pi * f
    z = r0 + r1 / (1 + 1j * w * r1 * c1) + 1j * w * l0
    t = time0 + np.cumsum(rng.uniform(0.1, 5.0, n))
    return {"f": f, "z": z, "t": t}


def num(x, comma=False):
    s = repr(float(x))
    return s.replace(".", ",") if comma else s


def gamry(sweeps, comma=False, aborted=False, ocv=True, encoding="latin-1", crlf=True):
    nl = "\r\n" if crlf else "\n"
    lines = ["EXPLAIN", "TAG\tEISPOT", "TITLE\tLABEL\tPotentiostatic EIS\tTest Identifier",
             "DATE\tLABEL\t4/23/2018\tDate", "NOTES\tNOTES\t2\tNotes...", "\tfirst note", "\tsecond, with a comma",
             "PSTAT\tPSTAT\tREF3000-00001\tPotentiostat",
             f"VDC\tPOTEN\t{num(0.1, comma)}\tF\tDC Voltage (V)", "INSTRUMENTVERSION\tLABEL\t4.30\tInstrument Version"]
    if ocv:
        lines += ["OCVCURVE\tTABLE\t3", "\tPt\tT\tVf\tVm\tAch\tOver", "\t#\ts\tV vs. Ref.\tV\tV\tbits"]
        lines += [f"\t{k}\t{num(0.5 * k, comma)}\t{num(-0.9, comma)}\t{num(-0.9, comma)}\t0\t..........." for k in range(3)]
        lines += ["EOC\tQUANT\t" + num(-0.95, comma) + "\tOpen Circuit (V)"]
    for s in sweeps:
        lines += ["ZCURVE\tTABLE", "\tPt\tTime\tFreq\tZreal\tZimag\tZsig\tZmod\tZphz\tIdc\tVdc\tIERange",
                  "\t#\ts\tHz\tohm\tohm\tV\tohm\t\u00b0\tA\tV\t#"]
        for k, (f, z, t) in enumerate(zip(s["f"], s["z"], s["t"])):
            fields = [k, num(t, comma), num(f, comma), num(z.real, comma), num(z.imag, comma), 1, num(abs(z), comma),
                      num(np.degrees(np.angle(z)), comma), num(1e-7, comma), num(-0.95, comma), 8]
            lines.append("\t" + "\t".join(str(x) for x in fields))
    if aborted:
        lines += ["EXPERIMENTABORTED\tTOGGLE\tT\tExperiment Aborted", "FRACURVE\tTABLE\t2", "\tPt\tT\tV\tI",
                  "\t#\tS\tV\tA", "\t0\t1.0\t-0.5\t1E-9", "\t1\t2.0\t-0.5\t1E-9"]
    return (nl.join(lines) + nl).encode(encoding)


def biologic_mpt(sweeps, comma=False, header=True, crlf=True, zero_rows=0, cycles=True):
    nl = "\r\n" if crlf else "\n"
    names = ["freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm", "|Z|/Ohm", "Phase(Z)/deg", "time/s", "<Ewe>/V", "<I>/mA",
             "Cs/\u00b5F", "cycle number", "I Range", "Re(Y)/Ohm-1", "Im(Y)/Ohm-1"]
    rows = []
    for c, s in enumerate(sweeps, start=1):
        for _ in range(zero_rows):
            rows.append([0.0, 0.0, 0.0, 0.0, 0.0, s["t"][0] - 1, -1.05, 0.0, 0.0, c if cycles else 1, 12, 0.0, 0.0])
        for f, z, t in zip(s["f"], s["z"], s["t"]):
            y = 1 / z
            rows.append([f, z.real, -z.imag, abs(z), np.degrees(np.angle(z)), t, -1.05, -3e-3, 2e-3,
                         c if cycles else 1, 12, y.real, y.imag])
    body = ["\t".join(names) + "\t"] + ["\t".join(num(v, comma) for v in r) + "\t" for r in rows]
    if not header:
        return ("" + nl + nl.join(body) + nl).encode("cp1252")
    head = ["EC-Lab ASCII FILE", "Nb header lines : XX                          ", "",
            "Potentio Electrochemical Impedance Spectroscopy", "", "Run on channel : 1 (SN 0001)",
            "Device : SP-150 (SN 0001)", "Ewe ctrl range : min = -10" + (",00" if comma else ".00") + " V",
            "Electrode surface area : 0" + (",001" if comma else ".001") + " cm\u00b2", "", "fi                  100,000",
            "unit fi             kHz", "nc cycles           " + str(len(sweeps) - 1), ""]
    head[1] = head[1].replace("XX", str(len(head) + 1))
    return (nl.join(head + body) + nl).encode("cp1252")


MPR_TYPES = {1: None, 4: "<d", 24: "<d", 32: "<f", 37: "<f", 38: "<f", 36: "<f", 35: "<f", 39: "<H", 77: "<f",
             131: "<H"}


def biologic_mpr(sweeps, new_header=True, ids=(1, 32, 37, 38, 36, 35, 4, 77, 39, 24, 131), extra_module=True):
    def module(short, long, body, version):
        head = b"MODULE" + short.ljust(10).encode() + long.ljust(25).encode()
        if new_header:
            head += b"\xff\xff\xff\xff" + struct.pack("<III", len(body), 0, version) + b"02.26.25"
        else:
            head += struct.pack("<II", len(body), version) + b"02/04/18"
        return head + body

    records = []
    for c, s in enumerate(sweeps):
        for f, z, t in zip(s["f"], s["z"], s["t"]):
            values = {4: t, 24: float(c), 32: f, 37: z.real, 38: -z.imag, 36: abs(z), 35: np.degrees(np.angle(z)),
                      77: -1.05, 39: 12, 131: 0}
            rec = b"\x01" if any(MPR_TYPES[i] is None for i in ids) else b""
            rec += b"".join(struct.pack(MPR_TYPES[i], values[i]) for i in ids if MPR_TYPES[i])
            records.append(rec)
    version = 11 if new_header else 2
    start = 0x3EF if new_header else 0x195
    head = struct.pack("<I", len(records)) + (struct.pack("<H", len(ids)) if version > 3 else struct.pack("<B", len(ids)))
    head += b"".join(struct.pack("<H", i) for i in ids)
    body = head.ljust(start, b"\0") + b"".join(records)
    out = b"BIO-LOGIC MODULAR FILE\x1a".ljust(0x30, b" ") + b"\0\0\0\0"
    out += module("VMP Set", "VMP settings", b"\x1d" + b"\0" * 40, 10 if new_header else 7)
    out += module("VMP data", "VMP data", body, version)
    if extra_module:
        out += module("VMP LOG", "VMP LOG", b"C:\\data\\run.mpr" + b"\0" * 20, 0)
    return out


def zplot(s, variant="zplot2", declared=None, bom=False):
    n = len(s["f"])
    declared = n if declared is None else declared
    rows = [(f, 0.01, 0.0, t, z.real, z.imag, 0.0, 0, 4) for f, z, t in zip(s["f"], s["z"], s["t"])]
    if variant == "zplot2":
        head = ["ZPLOT2 ASCII", "  Measured Data, ZPlot:       3.2c", "  Date:                       10-12-2018",
                "  Begin Experiment:           0", "    Potential-AC:             10", "  End Experiment:             0",
                f"  Data Points:                {declared}",
                "  Freq(Hz)\tAmpl\tBias\tTime(Sec)\tZ'(a)\tZ''(b)\tGD\tErr\tRange", "End Comments"]
        text = "\n".join(head + ["\t".join(num(v) for v in r) for r in rows]) + "\n"
    else:
        title = '"ZPlotW Data File: Version 3.2c"' if variant == "zplotw" else '"Z60W Data File: Version 1.1"'
        freq = "Freq(Hz)" if variant == "zplotw" else "Freq (Hz)"
        sep = ", " if variant == "zplotw" else ","
        head = [title, '"Raw Data"', '"Sweep Frequency: Control Voltage"', "Date: 12-17-2019    Time: 16:24:35",
                "1.7 sccm CO, 1.50 sccm CO2, 800 C", '""', '"Frequency"', f"0,3,0,1,{num(s['f'][0])},{num(s['f'][-1])}",
                str(declared), f'"  {freq}    Ampl     Bias   Time(Sec)   Z\'(a)    Z\'\'(b)    GD   Err   Range"']
        text = "\r\n".join(head + [sep.join(num(v) for v in r) for r in rows]) + "\r\n"
    return (b"\xef\xbb\xbf" if bom else b"") + text.encode("ascii")


def autolab_nova(s, comma=False):
    head = "Index;Frequency (Hz);Z' (\u03a9);-Z'' (\u03a9);Z (\u03a9);-Phase (\u00b0);Time (s)"
    rows = [";".join([str(k + 1), num(f, comma), num(z.real, comma), num(-z.imag, comma), num(abs(z), comma),
                      num(-np.degrees(np.angle(z)), comma), num(t, comma)])
            for k, (f, z, t) in enumerate(zip(s["f"], s["z"], s["t"]))]
    return ("\n".join([head] + rows) + "\n").encode("utf-8")


def autolab_dfr(s):
    lines = ["VERSION8.0", str(len(s["f"])), " 0"]
    for f, z, t in zip(s["f"], s["z"], s["t"]):
        lines += [" " + num(v) for v in (f, z.real, -z.imag, 0.0, 1e-6, t, 0.0, 0.0, 0.0)]
    return ("\r\n".join(lines) + "\r\n").encode("latin-1")


def versastudio(sweeps, extra_token=True):
    definition = ("Segment #, Point #, E(V), I(A), Elapsed Time(s), ADC Sync Input(V), Current Range, Status, "
                  "E Applied(V), Frequency(Hz), E Real, E Imag, I Real, I Imag, Z Real, Z Imag, ActionId, AC Amplitude")
    if extra_token:
        definition += ", 0"
    lines = ["<Application>", "Name=VersaStudio", "Version=2.52.3", "</Application>", "<Action0>",
             "Name=Potentiostatic EIS", "Comment=\u6e2c\u5b9a", f"Segments={len(sweeps)}", "</Action0>"]
    for k, s in enumerate(sweeps, start=1):
        lines += [f"<Segment{k}>", "Type=2", "Version=3", "Definition=" + definition]
        for p, (f, z, t) in enumerate(zip(s["f"], s["z"], s["t"])):
            lines.append(",".join([str(k - 1), str(p), "0", "-3.28E-06", num(t), "-0.0024", "5", "53", "0", num(f),
                                   "0.01", "0.02", "1E-4", "2E-4", num(z.real), num(z.imag), "21", "0.02"]))
        lines.append(f"</Segment{k}>")
    lines += ["<Graph1>", "Type=Nyquist", "</Graph1>", "<DockingLayout>", '<?xml version="1.0" encoding="utf-16"?>',
              "</DockingLayout>"]
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


def powersuite(s):
    rows = ["Frequency\t Zre\t Zimg"] + [f"{num(f)}\t {num(z.real)}\t {num(z.imag)}" for f, z in zip(s["f"], s["z"])]
    return ("\r\r\n".join(rows) + "\r\r\n").encode("ascii")


def parstat(s, dc_rows=5):
    head = "Potential (V)\tCurrent (A)\tElapsed Time (s)\tFrequency (Hz)\tZre (ohms)\tZim (ohms)\t|Vac| (V)\t|Iac| (A)\t"
    rows = [f"3.49\t-0.15\t{10 * (k + 1)}\t0\t0\t0\t0\t0\t" for k in range(dc_rows)]
    rows += [f"3.4\t-0.15\t{num(t)}\t{num(f)}\t{num(z.real)}\t{num(z.imag)}\t0.01\t1e-4\t"
             for f, z, t in zip(s["f"], s["z"], s["t"])]
    return ("\n".join([head] + rows) + "\n").encode("ascii")


def chi(s):
    head = ["Feb. 20, 2020   15:55:08", "A.C. Impedance", "File: c:\\data\\run.bin", "Data Source:  Experiment",
            "Instrument Model:  CHI660E", "Header: ", "Note: ", "", "Init E (V) = 0", "High Frequency (Hz) = 1e+5",
            "Imp SF", "", "Freq/Hz, Z'/ohm, Z\"/ohm, Z/ohm, Phase/deg", ""]
    rows = [", ".join([num(f), num(z.real), num(z.imag), num(abs(z)), num(np.degrees(np.angle(z)))])
            for f, z in zip(s["f"], s["z"])]
    return ("\n".join(head + rows) + "\n").encode("ascii")


def zahner(s, marker=b"\x00\x00\xff\xff\xff\xfe"):
    n = len(s["f"])
    out = marker + (n - 1).to_bytes(6, "big", signed=True)
    out += struct.pack(f">{n}d", *s["f"]) + struct.pack(f">{n}d", *np.abs(s["z"]))
    out += struct.pack(f">{n}d", *np.angle(s["z"])) + struct.pack(f">{n}d", *s["t"])
    out += struct.pack(f">{n}h", *([1000] * n))
    for text in ("160724", "thales", "0.9995V, Ampl: 10mV"):
        out += struct.pack(">h", len(text)) + text.swapcase().encode()
    return out


def palmsens(channels, utf16=True):
    """channels: list of (title, [sweeps]); a channel with several sweeps is written with SubScans."""
    def data_set(s):
        def arr(desc, values, extra=None):
            return {"Type": "PalmSens.Data.DataArray", "Description": desc,
                    "Unit": {"Type": "PalmSens.Units.X", "S": "", "Q": desc, "A": desc},
                    "DataValues": [dict({"V": float(v)}, **(extra or {})) for v in values]}
        return {"Type": "PalmSens.Data.DataSetEIS", "Values": [
            arr("Idc", [1e-6] * len(s["f"]), {"C": 7, "S": 2}), arr("time", s["t"]), arr("Frequency", s["f"]),
            # The modulus of a value near the largest double overflows; JSON
            # has no infinity, so it is written as the largest double.
            arr("ZRe", s["z"].real), arr("ZIm", -s["z"].imag), arr("Z", np.nan_to_num(np.abs(s["z"]))),
            arr("Phase", -np.degrees(np.angle(s["z"]))),
            {"Type": "PalmSens.Data.DataArray", "Description": "debugtext", "Unit": None, "DataValues": None}]}
    entries = []
    for title, sweeps in channels:
        entry = {"Appearance": {"Color": "-16776961"}, "Title": title, "Hash": [1, 2]}
        if len(sweeps) == 1:
            entry["DataSet"] = data_set(sweeps[0])
        else:
            entry["SubScans"] = [{"Title": f"E={0.2 * k:.3f} V", "DataSet": data_set(s)} for k, s in enumerate(sweeps)]
        entries.append(entry)
    doc = {"Type": "PalmSens.DataFiles.SessionFile", "CoreVersion": "5.11.1006.0",
           "MethodForMeasurement": "#PSTrace\r\nMETHOD_ID=eis\r\n",
           "Measurements": [{"Title": "Impedance Spectroscopy", "DeviceUsed": 15, "Method": "METHOD_ID=eis\r\n",
                             "Curves": [], "EISDataList": entries}]}
    text = json.dumps(doc, ensure_ascii=False) + "\ufeff"
    return b"\xff\xfe" + text.encode("utf-16-le") if utf16 else text.encode("utf-8")


ROLES = {"f": lambda f, z: f, "re": lambda f, z: z.real, "im": lambda f, z: z.imag, "-im": lambda f, z: -z.imag,
         "mod": lambda f, z: abs(z), "phase": lambda f, z: np.degrees(np.angle(z)),
         "-phase": lambda f, z: -np.degrees(np.angle(z))}


def csv(sweeps, names=("Freq/Hz", "Z'", "-Z''"), roles=("f", "re", "-im"), sep=",", comma=False, bom=False,
        encoding="utf-8", crlf=False, with_cycles=False):
    """Columns `names` holding the quantities `roles` (keys of ROLES)."""
    nl = "\r\n" if crlf else "\n"
    header = list(names) + (["cycle number"] if with_cycles else [])
    lines = [sep.join(header)]
    for c, s in enumerate(sweeps, start=1):
        for f, z in zip(s["f"], s["z"]):
            values = [num(ROLES[r](f, z), comma) for r in roles] + ([str(c)] if with_cycles else [])
            lines.append(sep.join(values))
    return (b"\xef\xbb\xbf" if bom else b"") + (nl.join(lines) + nl).encode(encoding)
