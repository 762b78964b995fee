"""orvane.write: orvgen's files, chosen by the extension or format=."""
import json
import re

import pytest

import orvane
from conftest import ORVGEN, run_tool

# (file name, write()'s keywords, orvgen's options, files to compare byte for byte)
CASES = {
    "csv_by_extension": ("b.csv", dict(rate=54, symbols=10), ["--rate", 54, "--symbols", 10], ["b.csv"]),
    "csv_by_format": ("b.dat", dict(format="csv", symbols=3, filter="nyquist", cut_off=8.5),
                      ["--output-format", "csv", "--symbols", 3, "--filter", "nyquist", "--cut-off", 8.5], ["b.dat"]),
    "sigmf_ci16": ("r.sigmf-data", dict(symbols=4, sigmf_type="ci16_le", sine=3, sine_level=-30),
                   ["--symbols", 4, "--sigmf-type", "ci16_le", "--sine", 3, "--sine-level", -30], ["r.sigmf-data"]),
    "frames_csv": ("f.csv", dict(payload_bytes=80, packets=2, rate=12), ["--payload-bytes", 80, "--packets", 2,
                                                                         "--rate", 12], ["f.csv"]),
    "frames_keyword_names": ("f.awv", dict(psdu=b"\x01\x02\x03", idle_us=3, window_tr_us=0.2, channel_mhz=10),
                             ["--psdu-hex", "010203", "--idle", 3, "--window-tr", 0.2, "--channel", 10], ["f.awv"]),
}


@pytest.mark.parametrize("name, keywords, options, compared", CASES.values(), ids=CASES.keys())
def test_files_are_orvgens(name, keywords, options, compared, tmp_path):
    (tmp_path / "mine").mkdir()
    (tmp_path / "orvgen").mkdir()
    made = orvane.write(tmp_path / "mine" / name, **keywords)
    status, out, err = run_tool(ORVGEN, *options, "-o", tmp_path / "orvgen" / name, "--json")
    assert status == 0, err
    expected = json.loads(out)
    for key in ("path", "data_path", "meta_path"):
        made.pop(key, None)
        expected.pop(key, None)
    assert made == expected
    for f in compared:
        assert undated(tmp_path / "mine" / f) == undated(tmp_path / "orvgen" / f)


def undated(path):
    """A file's bytes without an AWG file's DATE item (the time it was written)."""
    return re.sub(rb"\{DATE:[^}]*\}", b"", path.read_bytes(), count=1)


def test_awg_file_carries_the_bursts_figures(tmp_path):
    made = orvane.write(tmp_path / "b.awv", rate=24, symbols=12, oversample=4)
    _, figures = orvane.burst(rate_index=4, ofdm_symbols=12, oversampling=4)
    header = (tmp_path / "b.awv").read_bytes()[:300].decode("ascii", "replace")
    assert "{PAPR:%f;%f;%f}" % (figures["papr"], figures["crest_i"], figures["crest_q"]) in header
    assert made["output_format"] == "awg"


def test_description_dict_names_files_from_the_current_folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "p.bin").write_bytes(bytes(range(40)))
    made = orvane.write("w.csv", description={"packets": [{"rate": 6, "psdu-file": "p.bin", "repeat": 2}]})
    x, _ = orvane.frames(rate=6, psdu=bytes(range(40)), packets=2)
    assert made["packet_count"] == 2 and made["total_samples"] == len(x)


def test_check_failure_is_returned_not_raised(tmp_path):
    made = orvane.write(tmp_path / "b.awv", rate=54, symbols=10, check=True)
    assert made["check"]["verdict"] == "fail"  # the unfiltered burst fails the spectrum mask
