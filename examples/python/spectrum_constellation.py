"""Plots an 802.11a burst's spectrum and constellation with orvane, numpy and matplotlib.

    PYTHONPATH=build/python python3 examples/python/spectrum_constellation.py [OUTPUT_FOLDER]

Writes spectrum.png (the filtered burst's power spectral density against the
17.3.9.2 transmit spectrum mask) and constellation.png (the DATA subcarriers of
a 16-QAM burst at 20 MS/s, taken straight from the FFT of each symbol), and
prints the measuring receiver's EVM of the filtered burst.
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import orvane  # noqa: E402


def psd_dbr(x, fs, n=1024):
    """Welch's power spectral density (Hann window, half overlap), relative to its maximum."""
    w = np.hanning(n)
    segments = [x[k:k + n] * w for k in range(0, len(x) - n + 1, n // 2)]
    p = np.mean([np.abs(np.fft.fft(s)) ** 2 for s in segments], axis=0)
    f = np.fft.fftshift(np.fft.fftfreq(n, 1 / fs))
    return f, 10 * np.log10(np.fft.fftshift(p) / p.max())


def plot_spectrum(path):
    x, figures = orvane.burst(rate_index=7, ofdm_symbols=60, oversampling=4, burst_enable=0,
                              filter_cutoff=9e6, filter_taps=191, filter_rolloff=0.25)
    fs = figures["sample_rate"]
    f, p = psd_dbr(x, fs)
    report = orvane.check(x, sample_rate=fs)
    mask_f = np.array([-40, -30, -20, -11, -9, 9, 11, 20, 30, 40])
    mask_l = np.array([-40, -40, -28, -20, 0, 0, -20, -28, -40, -40])
    fig, ax = plt.subplots(figsize=(8, 4.5))
    ax.plot(f / 1e6, p, lw=0.8, label="burst, 54 Mbit/s, Nyquist filter")
    ax.plot(mask_f, mask_l, "r--", lw=1, label="transmit spectrum mask (17.3.9.2)")
    ax.set(xlabel="frequency (MHz)", ylabel="PSD (dBr)", ylim=(-80, 5),
           title=f"PAPR {figures['papr']:.2f} dB, EVM {report['evm_db']:.1f} dB")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="lower center")
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return report


def plot_constellation(path):
    # DATA symbols only, at 20 MS/s, no window: each symbol is 16 guard samples and the 64 of its FFT.
    x, _ = orvane.burst(frame_format=1, rate_index=4, ofdm_symbols=50, oversampling=1, burst_enable=0, window_tr=0.0)
    symbols = x.reshape(-1, 80)[:, 16:]
    bins = np.fft.fft(symbols, axis=1)
    data = [k % 64 for k in range(-26, 27) if k not in (0, -21, -7, 7, 21)]
    points = bins[:, data].ravel()
    points /= np.sqrt(np.mean(np.abs(points) ** 2))
    fig, ax = plt.subplots(figsize=(5, 5))
    ax.plot(points.real, points.imag, ".", ms=3)
    ax.set(xlabel="I", ylabel="Q", title="DATA subcarriers, 24 Mbit/s (16-QAM)", aspect="equal")
    ax.grid(True, alpha=0.3)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    report = plot_spectrum(os.path.join(folder, "spectrum.png"))
    plot_constellation(os.path.join(folder, "constellation.png"))
    print(f"orvane {orvane.__version__}: spectrum.png and constellation.png written to {folder}; "
          f"EVM {report['evm_db']:.1f} dB, verdict {report['verdict']}")


if __name__ == "__main__":
    main()
