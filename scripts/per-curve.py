#!/usr/bin/env python3
"""Packet error rate of 1000-byte frames against SNR, measured with orvgen and orvcheck.

For each rate and channel the script makes a PER waveform with orvgen (MAC data frames,
972 payload octets, so the PSDU is 1000 octets, at the channel's SNR and, for the
exponential channels, a new multipath realisation per packet), decodes it with
`orvcheck --json --expect N` and takes the summary's packet error rate (missing packets
count as errors). The SNR steps up from a start point until no packet is lost.

Writes OUT/per.csv (the table orvperplot draws), OUT/per.md (the README's table) and,
when orvperplot is built, OUT/per.png and OUT/per.svg.

    python3 scripts/per-curve.py --build build --packets 200 --out docs/per
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

# Where each sweep starts (dB): a little below the 10 % point of the rate in AWGN.
START_DB = {6: -1.0, 9: 1.0, 12: 2.0, 18: 5.0, 24: 8.0, 36: 11.0, 48: 15.0, 54: 17.0}


def run(cmd):
    """Runs a tool; returns its standard output, or exits with its message."""
    p = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if p.returncode not in (0, 3):  # orvcheck's 3: a packet failed, which is what we count
        sys.exit(f"per-curve: {' '.join(cmd)} failed ({p.returncode}): {p.stderr.strip()}")
    return p.stdout


# orvcheck holds the first 2^22 samples of a file in memory; each waveform stays below that.
RECEIVER_SAMPLES = 4_000_000
N_DBPS = {6: 24, 9: 36, 12: 48, 18: 72, 24: 96, 36: 144, 48: 192, 54: 216}


def packets_per_file(rate, idle_us):
    """How many 1000-octet packets of the rate (at 20 MS/s) fit in one file orvcheck reads whole."""
    symbols = -(-(16 + 8 * 1000 + 6) // N_DBPS[rate])  # SERVICE, PSDU and tail bits (17.3.5.3)
    samples = 20 * (20 + 4 * symbols + idle_us)         # preamble and SIGNAL 20 us, 4 us a symbol
    return max(1, RECEIVER_SAMPLES // samples)


def measure(args, rate, channel, snr, seed, path):
    """PER and FCS-good count of args.packets packets, in as many waveforms as orvcheck needs."""
    left, errors, good, part = args.packets, 0.0, 0, 0
    while left > 0:
        n = min(left, packets_per_file(rate, 20))
        gen = [os.path.join(args.build, "orvgen"), "-o", path, "--rate", str(rate),
               "--payload-bytes", "972", "--packets", str(n), "--idle", "20",
               "--oversample", "1", "--snr", f"{snr:g}", "--impairment-seed", str(seed * 16 + part)]
        if channel != "awgn":
            gen += ["--multipath-rms", channel] + args.per_packet_option.split()
        run(gen)
        report = json.loads(run([os.path.join(args.build, "orvcheck"), "--json", "--expect", str(n), path]))
        if any("not looked for" in note for note in report.get("notes", [])):
            sys.exit(f"per-curve: orvcheck did not read all of {path}: {report['notes']}")
        summary = report["summary"]
        errors += summary["per"] * n
        good += summary["fcs_ok"]
        left -= n
        part += 1
    return errors / args.packets, good


def sweep(args, rate, channel, rows):
    """Steps the SNR up from the rate's start until a waveform has no packet error."""
    snr = START_DB[rate] + (0.0 if channel == "awgn" else args.fading_offset)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "per.awv")
        for k in range(args.max_points):
            per, good = measure(args, rate, channel, snr, 1000 * rate + k, path)
            rows.append((rate, channel, snr, args.packets, good, per))
            print(f"{rate:2d} Mbit/s {channel:>4}: SNR {snr:5.1f} dB  PER {per:.3f}", flush=True)
            if per == 0.0:
                break
            snr += args.step if per < 0.9 else 2 * args.step


def ten_percent_point(points):
    """SNR where the PER crosses 10 %, interpolated in log PER; None if it never does."""
    import math
    for (s0, p0), (s1, p1) in zip(points, points[1:]):
        if p0 >= 0.1 > p1:
            if p1 <= 0.0:
                return s1
            return s0 + (s1 - s0) * (math.log(p0) - math.log(0.1)) / (math.log(p0) - math.log(p1))
    return None


def write_outputs(args, rows):
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "per.csv"), "w", encoding="utf-8") as f:
        f.write("rate_mbps,channel,snr_db,packets,fcs_ok,per\n")
        for r in rows:
            f.write(f"{r[0]},{r[1]},{r[2]:g},{r[3]},{r[4]},{r[5]:.4f}\n")
    with open(os.path.join(args.out, "per.md"), "w", encoding="utf-8") as f:
        f.write(f"SNR (dB) at 10 % PER, 1000-byte PSDUs, {args.packets} packets a point:\n\n")
        channels = list(dict.fromkeys(r[1] for r in rows))
        names = {c: "AWGN" if c == "awgn" else f"{c} ns exponential" for c in channels}
        f.write("| Mbit/s | " + " | ".join(names[c] for c in channels) + " |\n")
        f.write("|---|" + "---|" * len(channels) + "\n")
        for rate in dict.fromkeys(r[0] for r in rows):
            cells = []
            for c in channels:
                pts = [(r[2], r[5]) for r in rows if r[0] == rate and r[1] == c]
                x = ten_percent_point(pts)
                cells.append("—" if x is None else f"{x:.1f}")
            f.write(f"| {rate} | " + " | ".join(cells) + " |\n")
    plot = os.path.join(args.build, "orvperplot")
    if os.path.exists(plot):
        run([plot, os.path.join(args.out, "per.csv"), os.path.join(args.out, "per")])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build", help="build folder with orvgen, orvcheck, orvperplot")
    ap.add_argument("--packets", type=int, default=200)
    ap.add_argument("--rates", default="6,24,54")
    ap.add_argument("--channels", default="awgn,50,150", help="awgn and/or RMS delay spreads in ns")
    ap.add_argument("--step", type=float, default=1.0, help="SNR step (dB)")
    ap.add_argument("--fading-offset", type=float, default=4.0, help="start this much higher in fading (dB)")
    ap.add_argument("--max-points", type=int, default=40)
    ap.add_argument("--per-packet-option", default="--multipath-per-packet",
                    help="orvgen option that draws a new channel per packet")
    ap.add_argument("--out", default="docs/per")
    args = ap.parse_args()
    rows = []
    for rate in (int(r) for r in args.rates.split(",")):
        for channel in args.channels.split(","):
            sweep(args, rate, channel, rows)
    write_outputs(args, rows)


if __name__ == "__main__":
    main()
