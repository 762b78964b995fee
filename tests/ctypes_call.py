"""Calls orv_11a_actual through ctypes, as a Python user of the library would."""
import ctypes
import os
import sys
import tempfile


class WaveParams(ctypes.Structure):
    _fields_ = [(n, ctypes.c_double) for n in (
        "burst_off_time", "window_tr", "filter_cutoff", "filter_rolloff", "freq_error",
        "if_freq", "dc_offset_re", "dc_offset_im", "noise_level", "sine_freq", "sine_level",
        "papr", "crest_i", "crest_q")] + [(n, ctypes.c_int32) for n in (
        "frame_format", "burst_enable", "rate_index", "ofdm_symbols", "pn_seed",
        "data_pattern", "oversampling", "reserved", "filter_taps", "iq_inverse",
        "freq_error_enable", "if_enable", "noise_enable", "sine_enable")]


def main():
    lib = ctypes.CDLL(sys.argv[1])
    fn = lib.orv_11a_actual
    fn.argtypes = [ctypes.POINTER(WaveParams), ctypes.c_int32, ctypes.c_char_p]
    fn.restype = ctypes.c_int32
    assert ctypes.sizeof(WaveParams) == 168
    p = WaveParams(rate_index=5, ofdm_symbols=100, pn_seed=0xFFFF, oversampling=8,
                   filter_taps=191, filter_rolloff=0.25, burst_enable=1,
                   burst_off_time=160e-6)
    with tempfile.TemporaryDirectory() as d:
        awg = os.path.join(d, "burst.awv")
        rc = fn(ctypes.byref(p), 0, awg.encode())
        assert rc == 0, hex(rc)
        data = open(awg, "rb").read()
        assert data.startswith(b"{COMMENT:OFDM waveform generator}{DATE:")
        assert b"{SAMPLINGFREQ:160000000.000000}" in data
        assert p.papr > 3.0 and p.crest_i > 3.0 and p.crest_q > 3.0, (p.papr, p.crest_i)
        csv = os.path.join(d, "burst.csv")
        rc = fn(ctypes.byref(p), 1, csv.encode())
        assert rc == 0, hex(rc)
        lines = open(csv, "rb").read().split(b"\n")
        n = int(8 * (320 + 80 + 80 * 100) + p.burst_off_time * 160000000.0)
        assert len(lines) == n + 1 and lines[-1] == b"", len(lines)
        assert (p.papr, p.crest_i, p.crest_q) == (0.0, 0.0, 0.0)
        p.ofdm_symbols = 152
        assert fn(ctypes.byref(p), 0, awg.encode()) & 0xFFFFFFFF == 0x80000010
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
