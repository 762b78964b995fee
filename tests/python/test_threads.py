"""Concurrent calls from threads give what the same calls give one at a time."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import orvane

BURSTS = [dict(rate_index=r, ofdm_symbols=6 + r, oversampling=1 + r % 4, pn_seed=0x100 + r) for r in range(8)]
FRAMES = [dict(rate=m, payload_bytes=50 + m, packets=3, idle_us=8, oversample=2) for m in (6, 12, 24, 54)]


def test_concurrent_bursts_frames_and_checks_are_correct():
    alone = [orvane.burst(**f)[0] for f in BURSTS] + [orvane.frames(**f)[0] for f in FRAMES]
    reports = [orvane.check(x, sample_rate=40e6, expect=3) for x in alone[len(BURSTS):]]

    def work(k):
        if k < len(BURSTS):
            return orvane.burst(**BURSTS[k])[0], None
        x = orvane.frames(**FRAMES[k - len(BURSTS)])[0]
        return x, orvane.check(x, sample_rate=40e6, expect=3)

    order = list(range(len(alone))) * 3
    with ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(work, order))
    for k, (x, report) in zip(order, results):
        assert np.array_equal(x, alone[k]), k
        if report is not None:
            assert report == reports[k - len(BURSTS)], k


def test_concurrent_writes_are_whole_files(tmp_path):
    def write(k):
        return orvane.write(tmp_path / f"b{k}.csv", rate=54, symbols=5 + k % 3, burst="off")

    with ThreadPoolExecutor(max_workers=4) as pool:
        made = list(pool.map(write, range(8)))
    for k, m in enumerate(made):
        x, _ = orvane.burst(rate_index=7, ofdm_symbols=5 + k % 3, burst_enable=0)
        lines = (tmp_path / f"b{k}.csv").read_text().splitlines()
        assert len(lines) == len(x) == m["total_samples"]
