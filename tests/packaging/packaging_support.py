"""What the packaging tests share besides their fixtures."""

import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(command, **kwargs):
    """Runs `command`, failing the test with its output when it fails."""
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{command} failed:\n{done.stdout}\n{done.stderr}"
    return done
