#!/usr/bin/env python3
"""Checks the Windows ZIP: one top folder holding bin/Orvasynth.dll,
bin/orvgen.exe, include/orvasynth.h, lib/libOrvasynth.dll.a and
lib/Orvasynth.def (exporting orv_11a_actual), each a PE file where it
should be one. Usage: check_zip.py PACKAGE.zip"""
import sys
import zipfile

WANT = {
    "bin/Orvasynth.dll": b"MZ",
    "bin/orvgen.exe": b"MZ",
    "include/orvasynth.h": b"/*",
    "lib/libOrvasynth.dll.a": b"!<arch>",
    "lib/Orvasynth.def": b";",
}


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    with zipfile.ZipFile(argv[1]) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        tops = {n.split("/", 1)[0] for n in names}
        if len(tops) != 1:
            print(f"FAILED: {argv[1]}: top folders {sorted(tops)}, expected one")
            return 1
        top = tops.pop()
        failed = 0
        for rel, magic in WANT.items():
            name = f"{top}/{rel}"
            if name not in names:
                print(f"FAILED: {name} missing")
                failed += 1
                continue
            data = z.read(name)
            if not data.startswith(magic):
                print(f"FAILED: {name} does not start with {magic!r}")
                failed += 1
            elif rel.endswith(".def") and b"orv_11a_actual" not in data:
                print(f"FAILED: {name} does not name orv_11a_actual")
                failed += 1
            else:
                print(f"ok: {name} ({len(data)} bytes)")
    print(f"{len(WANT) - failed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
