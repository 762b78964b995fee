"""orvane.burst against the library's own files: the CSV file's values and the AWG out fields."""
import ctypes

import numpy as np
import pytest

import orvane
from conftest import WaveParams, csv_lines_of, read_csv_lines

# Records as keyword changes to "Set Defaults"; each touches another stage of the pipeline.
RECORDS = {
    "defaults": {},
    "54M_10sym_os4_no_gap": dict(rate_index=7, ofdm_symbols=10, oversampling=4, burst_enable=0),
    "free_format_pn15": dict(frame_format=1, data_pattern=1, pn_seed=0x1234, ofdm_symbols=12, oversampling=2),
    "nyquist_filter": dict(filter_cutoff=8.5e6, filter_taps=191, filter_rolloff=0.25, ofdm_symbols=8, oversampling=4),
    "windowed_freq_error_dc": dict(window_tr=100e-9, freq_error_enable=1, freq_error=1.25e6,
                                   dc_offset_re=5.0, dc_offset_im=-3.0, ofdm_symbols=6),
    "iq_inverse_if_sine": dict(iq_inverse=1, if_enable=1, if_freq=20e6, sine_enable=1, sine_freq=3e6,
                               sine_level=-20.0, ofdm_symbols=4, oversampling=5),
    "gauss_noise": dict(noise_enable=1, noise_level=-25.0, ofdm_symbols=5, oversampling=3),
    "all_ones_os1": dict(data_pattern=6, oversampling=1, ofdm_symbols=3),
    "no_data_symbols": dict(ofdm_symbols=0, burst_enable=0),
}


def record(fields):
    """The ctypes record of "Set Defaults" with fields put over it."""
    p = WaveParams(**orvane.default_fields())
    for name, value in fields.items():
        setattr(p, name, value)
    return p


@pytest.mark.parametrize("fields", RECORDS.values(), ids=RECORDS.keys())
def test_samples_are_the_csv_files_values(fields, library, tmp_path):
    x, figures = orvane.burst(**fields)
    path = tmp_path / "burst.csv"
    p = record(fields)
    assert library(ctypes.byref(p), 1, str(path).encode()) == 0
    assert x.dtype == np.complex128 and x.ndim == 1
    assert csv_lines_of(x) == read_csv_lines(path)
    assert figures["sample_rate"] == 20e6 * p.oversampling
    assert figures["length_overflow"] is False


@pytest.mark.parametrize("fields", RECORDS.values(), ids=RECORDS.keys())
def test_figures_are_the_awg_out_fields(fields, library, tmp_path):
    _, figures = orvane.burst(**fields)
    p = record(fields)
    assert library(ctypes.byref(p), 0, str(tmp_path / "burst.awv").encode()) == 0
    assert (figures["papr"], figures["crest_i"], figures["crest_q"]) == (p.papr, p.crest_i, p.crest_q)


def test_defaults_are_set_defaults(library, tmp_path):
    # The window's "Set Defaults": 36 Mbit/s, 100 symbols, seed FFFF, 160 us gap, roll-off 0.25, 191 taps, os 8.
    d = orvane.default_fields()
    assert (d["rate_index"], d["ofdm_symbols"], d["pn_seed"], d["oversampling"]) == (5, 100, 0xFFFF, 8)
    assert (d["burst_off_time"], d["filter_rolloff"], d["filter_taps"], d["burst_enable"]) == (160 * 1e-6, 0.25, 191, 1)
    assert (d["filter_cutoff"], d["noise_enable"], d["frame_format"], d["data_pattern"]) == (0.0, 0, 0, 0)


def test_numpy_scalars_are_taken_as_numbers():
    a, _ = orvane.burst(rate_index=np.int64(7), ofdm_symbols=np.int32(4), dc_offset_re=np.float32(2.5))
    b, _ = orvane.burst(rate_index=7, ofdm_symbols=4, dc_offset_re=2.5)
    assert np.array_equal(a, b)

