"""orvane.check against orvcheck --json: on arrays (no file) and on files."""
import json

import numpy as np
import pytest

import orvane
from conftest import ORVCHECK, ORVGEN, run_tool

# Files orvgen writes (its options) and what orvcheck is told about them.
FILES = {
    "burst_csv_os8": (["--rate", 54, "--symbols", 20, "--oversample", 8], "burst.csv", ["--sample-rate", 160]),
    "burst_csv_rate_from_training": (["--symbols", 10, "--oversample", 4], "burst.csv", []),
    "free_format_expected_pattern": (["--format", "free", "--rate", 12, "--symbols", 30, "--oversample", 4,
                                      "--data", "PN15", "--seed", "ABC"], "free.csv",
                                     ["--oversample", 4, "--frame", "free", "--rate", 12, "--data", "PN15",
                                      "--seed", "ABC"]),
    "frames_expect_psdu": (["--rate", 24, "--payload-bytes", 60, "--packets", 3, "--idle", 20,
                            "--oversample", 2], "frames.csv", ["--sample-rate", 40, "--expect", 4, "--psdu"]),
}


def keywords_of(options):
    """orvcheck's options as check()'s keywords (sample-rate in Hz)."""
    kw, k = {}, 0
    while k < len(options):
        name = options[k][2:].replace("-", "_")
        if name == "psdu":
            kw[name], k = True, k + 1
            continue
        value = options[k + 1]
        kw[name] = value * 1e6 if name == "sample_rate" else value
        k += 2
    return kw


@pytest.mark.parametrize("made, name, options", FILES.values(), ids=FILES.keys())
def test_array_report_is_orvchecks(made, name, options, tmp_path):
    path = tmp_path / name
    status, _, err = run_tool(ORVGEN, *made, "-o", path)
    assert status == 0, err
    status, out, err = run_tool(ORVCHECK, "--json", path, *options)
    assert status in (0, 3), err
    expected = json.loads(out)
    iq = np.loadtxt(path, delimiter=",")
    got = orvane.check(iq[:, 0] + 1j * iq[:, 1], **keywords_of(options))
    assert got["file"].pop("path") == "<array>"
    assert expected["file"].pop("path") == str(path)
    assert got == expected


@pytest.mark.parametrize("made, name, options", FILES.values(), ids=FILES.keys())
def test_path_report_is_orvchecks(made, name, options, tmp_path):
    path = tmp_path / name
    assert run_tool(ORVGEN, *made, "-o", path)[0] == 0
    status, out, err = run_tool(ORVCHECK, "--json", path, *options)
    assert orvane.check(path, **keywords_of(options)) == json.loads(out)


def test_generated_burst_passes_its_own_checks():
    x, figures = orvane.burst(rate_index=3, ofdm_symbols=40, oversampling=4, filter_cutoff=9e6)
    r = orvane.check(x, sample_rate=figures["sample_rate"], data="PN9", seed=0xFFFF)
    assert r["signal"]["rate_mbps"] == 18
    assert r["payload"]["bit_errors"] == 0


def test_generated_frames_decode():
    # At 20 MS/s the receiver finds each packet at the sample where the generator put it.
    x, packets = orvane.frames(rate=36, payload_bytes=200, packets=5, idle_us=16, oversample=1)
    r = orvane.check(x, sample_rate=20e6, expect=5)
    assert [p["start"] for p in r["packets"]] == [p["start"] for p in packets]
    assert all(p["fcs_ok"] for p in r["packets"]) and r["verdict"] == "pass"
