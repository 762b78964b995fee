"""Shared helpers of the orvane module's tests: the programs and the library they compare against."""
import ctypes
import json
import os
import subprocess

import pytest

ORVGEN = os.environ.get("ORVGEN_PROGRAM", "orvgen")
ORVCHECK = os.environ.get("ORVCHECK_PROGRAM", "orvcheck")
LIBRARY = os.environ.get("ORVASYNTH_LIBRARY", "")
SOURCE_DIR = os.environ.get("ORV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


class WaveParams(ctypes.Structure):
    """The library's record (orvasynth.h): fourteen doubles, then fourteen int32."""

    _fields_ = [(n, ctypes.c_double) for n in (
        "burst_off_time", "window_tr", "filter_cutoff", "filter_rolloff", "freq_error",
        "if_freq", "dc_offset_re", "dc_offset_im", "noise_level", "sine_freq", "sine_level",
        "papr", "crest_i", "crest_q")] + [(n, ctypes.c_int32) for n in (
        "frame_format", "burst_enable", "rate_index", "ofdm_symbols", "pn_seed",
        "data_pattern", "oversampling", "reserved", "filter_taps", "iq_inverse",
        "freq_error_enable", "if_enable", "noise_enable", "sine_enable")]


@pytest.fixture(scope="session")
def library():
    """orv_11a_actual of the shared library, called as a ctypes user calls it."""
    if not LIBRARY:
        pytest.fail("ORVASYNTH_LIBRARY names no library")
    fn = ctypes.CDLL(LIBRARY).orv_11a_actual
    fn.argtypes = [ctypes.POINTER(WaveParams), ctypes.c_int32, ctypes.c_char_p]
    fn.restype = ctypes.c_int32
    return fn


def run_tool(program, *args):
    """Runs a program; returns (exit status, stdout, stderr) as text."""
    r = subprocess.run([program, *map(str, args)], capture_output=True, text=True, timeout=300)
    return r.returncode, r.stdout, r.stderr


def orvgen_json(*args):
    """Runs orvgen with --json; returns its object, failing the test on a nonzero status."""
    status, out, err = run_tool(ORVGEN, *args, "--json")
    assert status == 0, err
    return json.loads(out)


def csv_lines_of(samples):
    """The lines the CSV file of these samples holds ("%15.10le,%15.10le")."""
    return ["%15.10e,%15.10e" % (z.real, z.imag) for z in samples.tolist()]


def read_csv_lines(path):
    with open(path, encoding="ascii") as f:
        return f.read().splitlines()
