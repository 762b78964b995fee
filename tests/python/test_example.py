"""The example script runs and draws its two pictures."""
import os
import subprocess
import sys

from conftest import SOURCE_DIR

SCRIPT = os.path.join(SOURCE_DIR, "examples", "python", "spectrum_constellation.py")


def test_example_draws_spectrum_and_constellation(tmp_path):
    r = subprocess.run([sys.executable, SCRIPT, str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "verdict" in r.stdout
    for picture in ("spectrum.png", "constellation.png"):
        data = (tmp_path / picture).read_bytes()
        assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10000, picture
