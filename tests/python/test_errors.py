"""Bad arguments raise a clear exception; none reaches the interpreter as a crash."""
import math
import subprocess
import sys

import numpy as np
import pytest

import orvane

# (call, exception, text the message must hold)
CASES = {
    "burst_unknown_field": (lambda: orvane.burst(rate=54), TypeError, "unexpected keyword argument 'rate'"),
    "burst_out_field_is_not_a_keyword": (lambda: orvane.burst(papr=1.0), TypeError, "'papr'"),
    "burst_int_field_given_float": (lambda: orvane.burst(rate_index=5.0), TypeError, "rate_index must be an int"),
    "burst_int_field_given_text": (lambda: orvane.burst(ofdm_symbols="10"), TypeError, "ofdm_symbols must be an int"),
    "burst_real_field_given_text": (lambda: orvane.burst(window_tr="1e-7"), TypeError, "window_tr must be a real"),
    "burst_real_field_given_complex": (lambda: orvane.burst(dc_offset_re=1j), TypeError, "dc_offset_re must be a real"),
    "burst_nan": (lambda: orvane.burst(filter_rolloff=math.nan), ValueError, "filter_rolloff must be a finite"),
    "burst_infinity": (lambda: orvane.burst(freq_error=-math.inf), ValueError, "freq_error must be a finite"),
    "burst_int_beyond_32_bits": (lambda: orvane.burst(pn_seed=2**40), ValueError, "pn_seed"),
    "burst_rate_index_out_of_range": (lambda: orvane.burst(rate_index=8), ValueError,
                                      "rate_index: 8 is out of range (0 to 7)"),
    "burst_symbols_and_oversampling": (lambda: orvane.burst(ofdm_symbols=152, oversampling=0), ValueError,
                                       "ofdm_symbols: 152 is out of range (0 to 151); oversampling: 0"),
    "burst_seed_zero": (lambda: orvane.burst(pn_seed=0), ValueError, "pn_seed: 0 is out of range (not 0)"),
    "burst_noise_level": (lambda: orvane.burst(noise_enable=1, noise_level=20.0), ValueError,
                          "noise_level: 20.0 is out of range (-100 to 10 dB)"),
    "frames_unknown_keyword": (lambda: orvane.frames(symbols=3), TypeError, "unexpected keyword argument 'symbols'"),
    "frames_negative_packet_count": (lambda: orvane.frames(packets=-1, payload_bytes=10), ValueError,
                                     'packets: "-1" is not 1..1000000'),
    "frames_zero_packets": (lambda: orvane.frames(packets=0, payload_bytes=10), ValueError,
                            'packets: "0" is not 1..1000000'),
    "frames_packets_as_float": (lambda: orvane.frames(packets=2.0), TypeError, "packets must be an int"),
    "frames_rate_not_a_rate": (lambda: orvane.frames(rate=7), ValueError, "rate: 7 is not one of"),
    "frames_no_payload": (lambda: orvane.frames(rate=6), ValueError, "payload_bytes: needed"),
    "frames_payload_too_long": (lambda: orvane.frames(payload_bytes=5000), ValueError,
                                'payload_bytes: "5000" is not 0..4067'),
    "frames_idle_nan": (lambda: orvane.frames(idle_us=math.nan, payload_bytes=1), ValueError,
                        "idle_us must be a finite number"),
    "frames_idle_negative": (lambda: orvane.frames(idle_us=-1, payload_bytes=1), ValueError, 'idle_us: "-1" is not'),
    "frames_psdu_as_text": (lambda: orvane.frames(psdu="0102"), TypeError, "psdu must be bytes"),
    "frames_oversample_11": (lambda: orvane.frames(oversample=11), ValueError, "oversample 11 is out of range"),
    "frames_channel_7": (lambda: orvane.frames(channel_mhz=7), ValueError, "channel_mhz 7 is not one of"),
    "frames_description_bad_key": (lambda: orvane.frames(description={"packets": [{"rate": 6, "payload-bytes": 1,
                                                                                   "colour": "red"}]}),
                                   ValueError, "/packets/0/colour: unknown key"),
    "frames_description_bad_setting": (lambda: orvane.frames(description={"settings": {"taps": 0},
                                                                          "packets": [{"rate": 6, "payload-bytes": 1}]}),
                                       ValueError, "/settings/taps"),
    "frames_description_with_keywords": (lambda: orvane.frames(description={"packets": []}, rate=6), TypeError,
                                         "rate does not go with a description"),
    "frames_description_not_a_dict": (lambda: orvane.frames(description=[1, 2]), TypeError,
                                      "description must be a dict or a path"),
    "frames_description_file_missing": (lambda: orvane.frames(description="/nonexistent/d.json"), ValueError,
                                        "/nonexistent/d.json"),
    "check_samples_of_text": (lambda: orvane.check(np.array(["a", "b"])), TypeError, "samples must be numbers"),
    "check_samples_nan": (lambda: orvane.check(np.array([0, math.nan, 1], dtype=complex)), ValueError,
                          "sample 1 is not a finite number"),
    "check_no_samples": (lambda: orvane.check(np.zeros(0, dtype=complex)), ValueError, "no samples"),
    "check_silence": (lambda: orvane.check(np.zeros(4000, dtype=complex), sample_rate=20e6), ValueError, "<array>"),
    "check_two_dimensions": (lambda: orvane.check(np.zeros((4, 2), dtype=complex)), ValueError, "one-dimensional"),
    "check_sample_rate_nan": (lambda: orvane.check(np.zeros(10), sample_rate=math.nan), ValueError, "sample_rate"),
    "check_sample_rate_text": (lambda: orvane.check(np.zeros(10), sample_rate="20e6"), TypeError, "sample_rate"),
    "check_sample_rate_too_low": (lambda: orvane.check(np.ones(10), sample_rate=1e6), ValueError, "--sample-rate"),
    "check_unknown_option": (lambda: orvane.check(np.ones(10), colour=1), TypeError,
                             "unexpected keyword argument 'colour'"),
    "check_unknown_option_on_a_file": (lambda: orvane.check("x.csv", colour=1), TypeError, "'colour'"),
    "check_options_exclude_each_other": (lambda: orvane.check(np.ones(10), oversample=2, sample_rate=40e6),
                                         ValueError, "exclude each other"),
    "check_negative_expect": (lambda: orvane.check(np.ones(10), expect=-2), ValueError, "expect -2"),
    "check_missing_file": (lambda: orvane.check("/nonexistent/x.awv"), OSError, "/nonexistent/x.awv"),
    "write_unwritable_folder": (lambda: orvane.write("/nonexistent/folder/x.awv", symbols=2), OSError,
                                "/nonexistent/folder/x.awv"),
    "write_unknown_extension": (lambda: orvane.write("x.txt", symbols=2), ValueError, "cannot tell the format"),
    "write_value_out_of_range": (lambda: orvane.write("x.csv", symbols=500), ValueError, "--symbols 500"),
    "write_option_of_a_list": (lambda: orvane.write("x.csv", symbols=[1]), TypeError, "symbols must be"),
    "write_nan": (lambda: orvane.write("x.csv", burst_off=math.nan), ValueError, "burst_off must be a finite"),
}


@pytest.mark.parametrize("call, exception, text", CASES.values(), ids=CASES.keys())
def test_bad_argument_raises(call, exception, text, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exception) as caught:
        call()
    assert text in str(caught.value)
    assert not list(tmp_path.iterdir())  # nothing written


# Calls whose arrays cannot fit under a limit of the address space (run in a child process).
TOO_LARGE = {
    "burst_with_a_one_second_gap": "orvane.burst(burst_off_time=1.0, oversampling=10)",
    "frames_17_gigabytes": "orvane.frames(rate=6, payload_bytes=4000, packets=1000, oversample=10)",
    "check_of_an_array_too_large_to_convert": "orvane.check(np.zeros(1 << 26, dtype=np.complex64))",
}


@pytest.mark.parametrize("call", TOO_LARGE.values(), ids=TOO_LARGE.keys())
def test_memory_running_out_is_memory_error(call):
    script = f"""
import resource, sys
import numpy as np
import orvane
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), size + (1 << 30)))
try:
    {call}
except MemoryError:
    print("MemoryError")
"""
    r = subprocess.run([sys.executable, "-X", "faulthandler", "-c", script], capture_output=True, text=True,
                       timeout=300)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "MemoryError"
