"""IEEE 802.11a test waveforms as numpy arrays, and the measuring receiver's report as a dict.

    import orvane
    x, figures = orvane.burst(rate_index=7, ofdm_symbols=20)      # one test-pattern burst
    y, packets = orvane.frames(rate=54, payload_bytes=1000, packets=100)
    report = orvane.check(y, sample_rate=160e6)                    # what orvcheck --json prints
    orvane.write("burst.awv", rate=54, symbols=20)                 # any file orvgen writes

Every function runs the project's own code in this process (the Orvasynth
library, the frame tools, orvgen and orvcheck) with the GIL released, so calls
from several threads run side by side where the library allows it (it
serialises its own calls) and each gives the result it gives alone. The one
state the library keeps between calls is the Gaussian noise generator's
shuffle table: a noisy burst depends on the noisy calls made before it in the
process.
"""

import json as _json
import os as _os
import tempfile as _tempfile

import numpy as _np

from . import _orvane

__version__ = _orvane.__version__

__all__ = ["burst", "frames", "write", "check", "default_fields", "__version__"]


def default_fields():
    """The record of the window's "Set Defaults" as a dict of its in fields.

    These are the values burst() takes for the fields it is not given.
    """
    return _orvane.default_fields()


def burst(**fields):
    """One 802.11a test-pattern burst: ``(samples, figures)``.

    The keywords are the fields of the library's record (WaveParams in
    orvasynth.h), in the record's units; a field not given keeps its value of
    "Set Defaults" (default_fields()). Times are in seconds and frequencies in
    Hz, where the Orvane window shows microseconds and MHz:

    ==================  ====================================================
    burst_off_time      s, silent gap after the burst (window: Burst Off, usec)
    window_tr           s, edge-taper transition time (window: Window TR, usec)
    filter_cutoff       Hz, the transmit filter runs above 0 (window: Cut Off, MHz)
    filter_rolloff      raised-cosine roll-off factor
    freq_error          Hz, with freq_error_enable=1 (window: Freq Error, MHz)
    if_freq             Hz, with if_enable=1 (window: IF conversion, MHz)
    dc_offset_re/_im    percent of the burst's peak envelope
    noise_level         dB, with noise_enable=1
    sine_freq           Hz, with sine_enable=1 (window: MHz)
    sine_level          dB, with sine_enable=1
    frame_format        0 full burst, 1 DATA symbols only
    burst_enable        1: append burst_off_time of zeros
    rate_index          0..7: 6, 9, 12, 18, 24, 36, 48, 54 Mbit/s
    ofdm_symbols        DATA OFDM symbols, 0..151
    pn_seed             initial payload generator state, not 0
    data_pattern        0..6: PN9, PN15, PN19, PN20, PN23, ALL 0, ALL 1
    oversampling        1..10, sampling rate = 20 MHz times this
    filter_taps         transmit filter length
    iq_inverse          1: I and Q exchanged
    freq_error_enable, if_enable, noise_enable, sine_enable: 0 or 1
    ==================  ====================================================

    samples: complex128 array of the conditioned burst (and its gap), exactly
    the values the CSV file of the same record prints.
    figures: dict with ``papr``, ``crest_i``, ``crest_q`` (dB, the values the
    AWG file's header and the record's out fields get), ``sample_rate`` (Hz)
    and ``length_overflow`` (True when the SIGNAL field's LENGTH exceeded 12
    bits, the library's result 2).

    Raises TypeError for an unknown keyword or a value of the wrong type,
    ValueError for NaN, an infinity or a value the library refuses (naming
    each field and its range), MemoryError when memory runs out.
    """
    return _orvane.burst(fields)


def frames(*, description=None, **options):
    """A sequence of standard 802.11a frames (17.3): ``(samples, packets)``.

    Either the frame keywords, for one packet repeated (orvgen's frame options):
      rate (Mbit/s, default 6), payload_bytes, packets (default 1), idle_us
      (silence after each packet, default 0), data ("PN9" ... "ALL1"), seed
      (int or hex text), mac_frame (True/"data": a MAC data frame with FCS,
      the default; False/"none": the payload alone), addr1, addr2, addr3,
      duration_us, psdu (bytes, one PSDU as it is), psdu_file, pcap (every
      frame of an 802.11 capture), scrambler_init (1..127 or "step");
    or ``description``: a waveform description as a dict (the JSON format of
    orvgen --waveform; faults are named by their JSON pointer) or the path of
    such a file. Relative file names in a dict are taken from the current
    folder, in a file from the file's folder.

    With either: oversample (1..10, default 8), window_tr_us (0..0.8,
    default 0.1); channel_mhz (20, 10, 5) with the keywords only (a
    description names it in its settings). The filter and impairments are
    those of "Set Defaults" (none) unless the description's settings name them.

    samples: complex128 array of the whole sequence, exactly the values
    orvgen's CSV file of the same frames prints.
    packets: one dict a packet: start (sample index of its short training
    field), rate (Mbit/s), length (PSDU octets), scrambler (initial state),
    seq (MAC sequence number, None when the PSDU is not a data frame made here).

    Raises TypeError (unknown keyword, wrong type, a keyword that does not go
    with a description), ValueError (a value out of range, a bad description,
    a file it names that cannot be read), MemoryError.
    """
    text = path = None
    base = "."
    if isinstance(description, dict):
        text = _json.dumps(description)
        base = _os.getcwd()
    elif description is not None:
        if not isinstance(description, (str, bytes, _os.PathLike)):
            raise TypeError("description must be a dict or a path, not " + type(description).__name__)
        path = _os.fsdecode(description)
    return _orvane.frames(options, text, base, path)


# frames()' keyword names that write() takes for orvgen's options.
_FRAME_KEYWORDS = {"idle_us": "idle", "duration_us": "duration", "window_tr_us": "window_tr",
                   "channel_mhz": "channel"}


def _option_args(options):
    """Keyword options as command-line arguments: name_x=value -> --name-x value; True -> the flag."""
    args = []
    for name, value in options.items():
        if name == "psdu" and isinstance(value, (bytes, bytearray)):
            name, value = "psdu_hex", value.hex()
        flag = "--" + _FRAME_KEYWORDS.get(name, name).replace("_", "-")
        if value is None or value is False:
            continue
        if value is True:
            args.append(flag)
        elif isinstance(value, (str, int, float, _os.PathLike)) and not isinstance(value, bool):
            if isinstance(value, float) and not _np.isfinite(value):
                raise ValueError(f"{name} must be a finite number, not {value!r}")
            args += [flag, _os.fspath(value) if isinstance(value, _os.PathLike) else str(value)]
        else:
            raise TypeError(f"{name} must be a str, a number or a bool, not {type(value).__name__}")
    return args


def _absolute_files(description):
    """A copy of a description dict with its packets' file names made absolute (from the current folder)."""
    d = _json.loads(_json.dumps(description))
    for entry in d.get("packets", []) if isinstance(d.get("packets"), list) else []:
        if isinstance(entry, dict):
            for key in ("psdu-file", "pcap"):
                if isinstance(entry.get(key), str) and entry[key]:
                    entry[key] = _os.path.abspath(entry[key])
    return d


def _raise_for(status, message, path):
    """The exception of a tool's exit status (orvgen: 1 usage, 2 refused, 3 not written, 4 library)."""
    text = message.strip()
    if status == 3:
        raise OSError(text or f"{path} could not be written")
    if status == 4 and "not enough memory" in text:
        raise MemoryError(text)
    if status == 4:
        raise RuntimeError(text)
    raise ValueError(text)


def write(path, *, format=None, description=None, **options):
    """Writes any file orvgen writes; returns the dict ``orvgen --json`` prints.

    The keywords are orvgen's options with "_" for "-" and the window's units
    (rate=54, symbols=20, burst_off=160 (usec), cut_off=8.5 (MHz), filter=
    "nyquist", gauss=-30, payload_bytes=100, packets=10, ...; True gives a flag
    such as no_noise or check); frames()' names idle_us, duration_us,
    window_tr_us, channel_mhz and psdu (bytes) are taken for idle, duration,
    window_tr, channel and psdu_hex. format: "awg", "csv", "sigmf" or any other
    output format orvgen knows; without it the extension chooses.
    description: a waveform description as a dict (or a path), as frames().

    Raises ValueError for options orvgen refuses (its message), OSError when
    the file could not be written, MemoryError, RuntimeError for another
    library failure. A written file whose check failed (check=True) is
    returned, with the check in the dict.
    """
    args = ["orvgen", "-o", _os.fspath(path), "--json"]
    if format is not None:
        args += ["--output-format", str(format)]
    args += _option_args(options)
    with _tempfile.TemporaryDirectory(prefix="orvane-") as folder:
        if isinstance(description, dict):
            name = _os.path.join(folder, "description.json")
            with open(name, "w", encoding="utf-8") as f:
                _json.dump(_absolute_files(description), f)
            args += ["--waveform", name]
        elif description is not None:
            args += ["--waveform", _os.fspath(description)]
        status, out, err = _orvane.run_orvgen(args)
    if status not in (0, 5) or not out.strip():
        _raise_for(status, err, path)
    return _json.loads(out)


def check(samples_or_path, sample_rate=None, **options):
    """The measuring receiver's report: the dict ``orvcheck --json`` prints (packets included).

    samples_or_path: a one-dimensional array of complex samples (measured as a
    CSV file of the same values would be, without a file; file.path reads
    "<array>") or the path of an AWG, CSV or SigMF file.
    sample_rate: Hz (for an array or a CSV file; else the short training
    period tells it, or an AWG file's header).
    options: orvcheck's options with "_" for "-": oversample, frame ("802.11a"
    or "free"), rate (Mbit/s), symbols, data ("PN9" ... "ALL1"), seed (int or
    hex text), expect (packets the samples should hold), psdu (True: each
    packet's PSDU in hexadecimal).

    A failed check is part of the report ("pass": false), not an exception.
    Raises TypeError for samples that are not numbers, ValueError for bad
    options, samples that are not finite or hold no burst, OSError for a file
    that cannot be read as a waveform, MemoryError.
    """
    known = {name.replace("-", "_") for name in _orvane.receiver_options()} | {"expect", "psdu"}
    for name in options:
        if name not in known:
            raise TypeError(f"check() got an unexpected keyword argument '{name}' (known: {', '.join(sorted(known))})")
    options = dict(options)
    expect = options.pop("expect", None)
    psdu = options.pop("psdu", False)
    if expect is not None and (isinstance(expect, bool) or not isinstance(expect, (int, _np.integer))):
        raise TypeError(f"expect must be an int, not {type(expect).__name__}")
    if expect is not None and not 0 <= expect <= 100000000:
        raise ValueError(f"expect {expect} is not in 0..100000000")
    if not isinstance(psdu, (bool, _np.bool_)):
        raise TypeError(f"psdu must be a bool, not {type(psdu).__name__}")
    if "seed" in options and isinstance(options["seed"], (int, _np.integer)) and not isinstance(options["seed"], bool):
        options["seed"] = format(int(options["seed"]), "X")
    if sample_rate is not None:
        if isinstance(sample_rate, bool) or not isinstance(sample_rate, (int, float, _np.integer, _np.floating)):
            raise TypeError(f"sample_rate must be a number (Hz), not {type(sample_rate).__name__}")
        if not _np.isfinite(sample_rate):
            raise ValueError(f"sample_rate must be a finite number, not {sample_rate!r}")
        options["sample_rate"] = repr(float(sample_rate) / 1e6)
    if isinstance(samples_or_path, (str, bytes, _os.PathLike)):
        args = ["orvcheck", "--json", _os.fsdecode(samples_or_path)] + _option_args(options)
        if expect is not None:
            args += ["--expect", str(int(expect))]
        if psdu:
            args.append("--psdu")
        status, out, err = _orvane.run_orvcheck(args)
        if status == 2:
            raise OSError(err.strip())
        if status not in (0, 3):
            raise ValueError(err.strip())
        return _json.loads(out)
    x = _np.asarray(samples_or_path)
    if x.dtype.kind not in "biufc":
        raise TypeError(f"samples must be numbers, not an array of {x.dtype}")
    x = _np.ascontiguousarray(x, dtype=_np.complex128)  # MemoryError here when the copy does not fit
    given = []
    for name, value in options.items():
        if isinstance(value, bool) or not isinstance(value, (str, int, float, _np.integer, _np.floating)):
            raise TypeError(f"{name} must be a str or a number, not {type(value).__name__}")
        given.append((name.replace("_", "-"), str(value)))
    status, text, error = _orvane.check_samples(x, given, -1 if expect is None else int(expect), bool(psdu))
    if status not in (0, 3):
        raise ValueError(error)
    return _json.loads(text)
