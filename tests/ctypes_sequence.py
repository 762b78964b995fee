"""Calls orv_11a_sequence_blocks through ctypes with a Python callback, as a
Python user of the library would: two frames, the samples block by block."""
import ctypes
import sys


class OrvPacket(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("rate_index", ctypes.c_int32),
                ("scrambler_init", ctypes.c_int32), ("psdu_length", ctypes.c_int32),
                ("psdu", ctypes.POINTER(ctypes.c_uint8)), ("idle_time", ctypes.c_double)]


class OrvSequenceParams(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32)] + [(n, ctypes.c_int32) for n in (
        "oversampling", "channel_mhz", "iq_inverse", "filter_taps", "freq_error_enable",
        "if_enable", "noise_enable", "sine_enable", "bad_packet")] + [(n, ctypes.c_double) for n in (
        "window_tr", "filter_cutoff", "filter_rolloff", "freq_error", "if_freq", "dc_offset_re",
        "dc_offset_im", "noise_level", "sine_freq", "sine_level", "papr", "crest_i",
        "crest_q")] + [("total_samples", ctypes.c_int64)]


BlockFn = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int32,
                           ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double))


def main():
    lib = ctypes.CDLL(sys.argv[1])
    fn = lib.orv_11a_sequence_blocks
    fn.argtypes = [ctypes.POINTER(OrvSequenceParams), ctypes.POINTER(OrvPacket), ctypes.c_int32,
                   BlockFn, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int64)]
    fn.restype = ctypes.c_int32
    psdu = (ctypes.c_uint8 * 100)(*range(100))
    packets = (OrvPacket * 2)()
    for k, rate in enumerate((7, 0)):
        packets[k] = OrvPacket(ctypes.sizeof(OrvPacket), rate, 93, 100, psdu, 10e-6)
    p = OrvSequenceParams(size=ctypes.sizeof(OrvSequenceParams), oversampling=4, channel_mhz=20,
                          window_tr=100e-9)
    starts = (ctypes.c_int64 * 2)()
    got = []

    def take(_context, first, count, i, q):
        assert first == sum(n for n, _ in got), first
        got.append((count, i[count - 1]))
        return 0

    rc = fn(ctypes.byref(p), packets, 2, BlockFn(take), None, starts)
    assert rc == 0, hex(rc)
    assert sum(n for n, _ in got) == p.total_samples > 0, p.total_samples
    assert p.bad_packet == -1 and starts[0] == 3 and starts[1] > starts[0], list(starts)
    packets[1].scrambler_init = 0
    rc = fn(ctypes.byref(p), packets, 2, BlockFn(take), None, starts)
    assert rc & 0xFFFFFFFF == 0x80040000 and p.bad_packet == 1, (hex(rc), p.bad_packet)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
