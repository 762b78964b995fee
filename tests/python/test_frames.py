"""orvane.frames against orvgen's files for the same frames."""
import json

import numpy as np
import pytest

import orvane
from conftest import ORVGEN, csv_lines_of, orvgen_json, read_csv_lines, run_tool

# Waveform descriptions (orvgen --waveform), each with something the others lack.
DESCRIPTIONS = {
    "one_54M_data_frame": {"packets": [{"rate": 54, "payload-bytes": 100}]},
    "two_rates_idle_repeat": {"settings": {"oversample": 2},
                              "packets": [{"rate": 6, "payload-bytes": 40, "idle": 4, "repeat": 2},
                                          {"rate": 24, "data": "PN15", "seed": "1ABC", "payload-bytes": 300,
                                           "mac-frame": "none", "scrambler-init": "step", "repeat": 3}]},
    "psdu_hex_nyquist_os4": {"settings": {"oversample": 4, "filter": "nyquist", "cut-off": 9, "taps": 61,
                                          "roll-off": 0.3, "window-tr": 0.2},
                             "packets": [{"rate": 12, "psdu-hex": "08 00 00 00 ff ff ff ff ff ff 01 02",
                                          "idle": 2.5}]},
    "impairments_channel_10": {"settings": {"channel": 10, "oversample": 1, "freq-error": 0.05, "dc-real": 3,
                                            "sine": 0.2, "sine-level": -30},
                               "packets": [{"rate": 36, "payload-bytes": 64, "repeat": 2, "idle": 10}]},
}


@pytest.mark.parametrize("description", DESCRIPTIONS.values(), ids=DESCRIPTIONS.keys())
def test_description_gives_orvgens_file(description, tmp_path):
    x, packets = orvane.frames(description=description)
    (tmp_path / "d.json").write_text(json.dumps(description))
    csv = tmp_path / "frames.csv"
    made = orvgen_json("--waveform", tmp_path / "d.json", "-o", csv)
    assert x.dtype == np.complex128
    assert csv_lines_of(x) == read_csv_lines(csv)
    assert [p["start"] for p in packets] == made["packet_starts"]
    assert len(x) == made["total_samples"]


# Frame keywords and the orvgen options that say the same.
KEYWORDS = {
    "rate_payload_packets_idle": (dict(rate=54, payload_bytes=1000, packets=3, idle_us=10),
                                  ["--rate", 54, "--payload-bytes", 1000, "--packets", 3, "--idle", 10]),
    "pattern_seed_no_mac_step": (dict(rate=9, data="PN23", seed=0x2F, mac_frame=False, payload_bytes=77,
                                      scrambler_init="step", packets=4, oversample=3),
                                 ["--rate", 9, "--data", "PN23", "--seed", "2F", "--mac-frame", "none",
                                  "--payload-bytes", 77, "--scrambler-init", "step", "--packets", 4,
                                  "--oversample", 3]),
    "psdu_bytes_window_channel5": (dict(rate=18, psdu=bytes(range(1, 60)), window_tr_us=0.3, channel_mhz=5),
                                   ["--rate", 18, "--psdu-hex", bytes(range(1, 60)).hex(), "--window-tr", 0.3,
                                    "--channel", 5]),
}


@pytest.mark.parametrize("keywords, options", KEYWORDS.values(), ids=KEYWORDS.keys())
def test_keywords_give_orvgens_file(keywords, options, tmp_path):
    x, packets = orvane.frames(**keywords)
    csv = tmp_path / "frames.csv"
    made = orvgen_json(*options, "-o", csv)
    assert csv_lines_of(x) == read_csv_lines(csv)
    assert [p["start"] for p in packets] == made["packet_starts"]


def test_packet_table():
    _, packets = orvane.frames(description={"packets": [
        {"rate": 48, "payload-bytes": 10, "repeat": 2, "scrambler-init": 5},
        {"rate": 6, "psdu-hex": "0102030405", "scrambler-init": "step"}]})
    assert [(p["rate"], p["length"], p["scrambler"], p["seq"]) for p in packets] == [
        (48, 38, 5, 0), (48, 38, 5, 1), (6, 5, 3, None)]
    starts = [p["start"] for p in packets]
    assert starts[0] > 0 and starts == sorted(starts)


def test_file_description_resolves_names_from_its_folder(tmp_path):
    (tmp_path / "psdu.bin").write_bytes(bytes(range(30)))
    (tmp_path / "d.json").write_text(json.dumps({"packets": [{"rate": 24, "psdu-file": "psdu.bin"}]}))
    x, packets = orvane.frames(description=tmp_path / "d.json")
    y, _ = orvane.frames(rate=24, psdu=bytes(range(30)))
    assert packets[0]["length"] == 30
    assert np.array_equal(x, y)


def test_a_description_file_orvgen_refuses_is_refused_alike(tmp_path):
    (tmp_path / "d.json").write_text(json.dumps({"packets": [{"rate": 54, "payload-bytes": 100, "colour": 1}]}))
    status, _, err = run_tool(ORVGEN, "--waveform", tmp_path / "d.json", "-o", tmp_path / "x.csv")
    assert status == 2 and "/packets/0/colour" in err
    with pytest.raises(ValueError, match="/packets/0/colour: unknown key"):
        orvane.frames(description=tmp_path / "d.json")
