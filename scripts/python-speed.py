"""Prints how long orvane takes against the library's own calls (not a test: the numbers depend on the machine).

    PYTHONPATH=build/python python3 scripts/python-speed.py build/libOrvasynth.so [ROUNDS]

1. The default burst ("Set Defaults") as an array (orvane.burst()) against the
   C call orv_11a_actual writing its AWG file and its CSV file.
2. 1000 PER packets at oversampling 8 (1000-octet payloads at 54 Mbit/s,
   16 us apart) as an array (orvane.frames) against writing their AWG file
   (orvane.write: orvgen's frame mode in this process, the same library).
The best of ROUNDS runs (default 5) is printed for each, and the ratio.
"""
import ctypes
import os
import sys
import tempfile
import time

import orvane


class WaveParams(ctypes.Structure):
    _fields_ = [(n, ctypes.c_double) for n in (
        "burst_off_time", "window_tr", "filter_cutoff", "filter_rolloff", "freq_error",
        "if_freq", "dc_offset_re", "dc_offset_im", "noise_level", "sine_freq", "sine_level",
        "papr", "crest_i", "crest_q")] + [(n, ctypes.c_int32) for n in (
        "frame_format", "burst_enable", "rate_index", "ofdm_symbols", "pn_seed",
        "data_pattern", "oversampling", "reserved", "filter_taps", "iq_inverse",
        "freq_error_enable", "if_enable", "noise_enable", "sine_enable")]


def best(rounds, fn):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    lib = ctypes.CDLL(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    call = lib.orv_11a_actual
    call.argtypes = [ctypes.POINTER(WaveParams), ctypes.c_int32, ctypes.c_char_p]
    call.restype = ctypes.c_int32
    with tempfile.TemporaryDirectory() as d:
        awg, csv = os.path.join(d, "b.awv").encode(), os.path.join(d, "b.csv").encode()
        p = WaveParams(**orvane.default_fields())
        t_array = best(rounds, orvane.burst)
        t_awg = best(rounds, lambda: call(ctypes.byref(p), 0, awg))
        t_csv = best(rounds, lambda: call(ctypes.byref(p), 1, csv))
        print(f"default burst: array {t_array * 1e3:.2f} ms; C call writing the AWG file {t_awg * 1e3:.2f} ms "
              f"(ratio {t_array / t_awg:.2f}), the CSV file {t_csv * 1e3:.2f} ms (ratio {t_array / t_csv:.2f})")

        per = dict(rate=54, payload_bytes=1000, packets=1000, idle_us=16, oversample=8)
        out = os.path.join(d, "per.awv")
        t_frames = best(rounds, lambda: orvane.frames(**per))
        t_file = best(rounds, lambda: orvane.write(out, **per))
        n = len(orvane.frames(**per)[0])
        print(f"1000 PER packets, os 8 ({n} samples): array {t_frames:.3f} s; AWG file {t_file:.3f} s "
              f"(ratio {t_frames / t_file:.2f})")


if __name__ == "__main__":
    main()
