#!/usr/bin/env python3
"""Validates the metadata of several orvgen SigMF recordings against the
official SigMF schema (tests/data/sigmf/sigmf-schema.json), and shows that the
validator refuses metadata that breaks the schema.

Usage: sigmf_schema_check.py ORVGEN SCHEMA
"""
import copy
import json
import subprocess
import sys
import tempfile

import jsonschema

RECORDS = [
    ["--sigmf-type", "cf32_le"],
    ["--sigmf-type", "ci16_le", "--oversample", "4", "--symbols", "3"],
    ["--oversample", "10", "--rate", "54", "--filter", "nyquist", "--cut-off", "9", "--burst", "off"],
    ["--frame", "free", "--rate", "12", "--symbols", "5", "--oversample", "7", "--gauss", "-40"],
    ["--sigmf-type", "ci16_le", "--gauss", "10", "--burst-off", "1000", "--symbols", "2"],
    # sequences of standard frames: one packet annotation per packet besides the segments
    ["--oversample", "1", "--rate", "54", "--payload-bytes", "100", "--packets", "3", "--idle", "5"],
    ["--sigmf-type", "ci16_le", "--channel", "10", "--psdu-hex", "c4 00 00 00 02 00 00 00 00 01",
     "--scrambler-init", "step", "--packets", "2"],
]


def main():
    orvgen, schema_path = sys.argv[1], sys.argv[2]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for k, options in enumerate(RECORDS):
            base = f"{tmp}/r{k}"
            subprocess.run([orvgen, "-o", base + ".sigmf-data", *options], check=True, stdout=subprocess.DEVNULL)
            with open(base + ".sigmf-meta", encoding="utf-8") as f:
                meta = json.load(f)
            errors = [e.message for e in validator.iter_errors(meta)]
            if errors:
                failures += 1
                print(f"{options}: {errors}")
            names = [e["name"] for e in meta["global"]["core:extensions"]]
            if names != ["orvane", "signal"]:
                failures += 1
                print(f"{options}: extensions {names}")
            print(f"ok {' '.join(options) or '(defaults)'}: {len(meta['annotations'])} annotations")
            # The schema is not vacuous for this metadata: each change breaks it.
            for what, change in [
                ("sha512 not hexadecimal", lambda m: m["global"].__setitem__("core:sha512", "xyz")),
                ("no datatype", lambda m: m["global"].pop("core:datatype")),
                ("negative sample count", lambda m: m["annotations"][0].__setitem__("core:sample_count", -1)),
                ("extension with a stray member", lambda m: m["global"]["core:extensions"][0].__setitem__("x", 1)),
                ("unknown top-level member", lambda m: m.__setitem__("orvane", {})),
            ]:
                broken = copy.deepcopy(meta)
                change(broken)
                if validator.is_valid(broken):
                    failures += 1
                    print(f"{options}: the schema accepts metadata with {what}")
    if failures:
        print(f"{failures} failures")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
