#!/usr/bin/env python3
"""Compares a file written by a Windows build with the Linux build's file of
the same record.

  compare_outputs.py awg WINDOWS_FILE LINUX_FILE
      byte-identical apart from the DATE item (the moment of writing)
  compare_outputs.py csv WINDOWS_FILE LINUX_FILE [--close]
      the Windows file ends every line with CR LF (text mode) and is otherwise
      byte-identical; with --close, lines may differ where the C library's
      sin, cos, log and pow round differently, by at most 2 units in the
      last printed digit or 1e-14 absolute (round-off residue around zero)

Prints one line and exits 0 when the files agree, 1 otherwise."""
import re
import sys

DATE = re.compile(rb"\{DATE:\d{4}/\d\d/\d\d;\d\d:\d\d:\d\d\}")
HEAD = b"{COMMENT:OFDM waveform generator}"


def masked_awg(data, name):
    if not data.startswith(HEAD):
        raise ValueError(f"{name}: no AWG header")
    m = DATE.match(data, len(HEAD))
    if m is None:
        raise ValueError(f"{name}: no DATE item after the comment")
    return data[: m.start()] + b"{DATE:}" + data[m.end():]


def close(a, b):
    """True when two printed numbers agree within the stated tolerance."""
    x, y = float(a), float(b)
    if abs(x - y) <= 1e-14:
        return True
    exponent = a.partition(b"e")[2]
    ulp = 10.0 ** (int(exponent) - 10)
    return abs(x - y) <= 2 * ulp


def compare_csv(win, lin, allow_close):
    if b"\n" in win.replace(b"\r\n", b""):
        return False, "line ends other than CR LF in the Windows file"
    lines_w, lines_l = win.count(b"\r\n"), lin.count(b"\n")
    if lines_w != lines_l:
        return False, f"{lines_w} lines against {lines_l}"
    unix = win.replace(b"\r\n", b"\n")
    if unix == lin:
        return True, f"identical apart from CR LF ({lines_l} lines)"
    if not allow_close:
        return False, "sample values differ"
    differing = 0
    for lw, ll in zip(unix.split(b"\n"), lin.split(b"\n")):
        if lw == ll:
            continue
        differing += 1
        for a, b in zip(lw.split(b","), ll.split(b",")):
            if a != b and not close(a, b):
                return False, f"line differs beyond round-off: {lw!r} against {ll!r}"
    return True, f"{differing} of {lines_l} lines differ in round-off digits"


def main(argv):
    if len(argv) < 4 or argv[1] not in ("awg", "csv"):
        print(__doc__)
        return 2
    kind, wpath, lpath = argv[1], argv[2], argv[3]
    with open(wpath, "rb") as f:
        win = f.read()
    with open(lpath, "rb") as f:
        lin = f.read()
    if kind == "awg":
        try:
            ok = masked_awg(win, wpath) == masked_awg(lin, lpath)
            why = f"identical apart from DATE ({len(win)} bytes)" if ok else "bytes differ"
        except ValueError as e:
            ok, why = False, str(e)
    else:
        ok, why = compare_csv(win, lin, "--close" in argv[4:])
    print(f"{'same' if ok else 'DIFFERENT'}: {wpath}: {why}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
