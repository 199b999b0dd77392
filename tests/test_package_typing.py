"""The package type-checks strictly against the extension's stubs."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")
pytest.importorskip("_morvane")

ROOT = Path(__file__).resolve().parent.parent


def mypy(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", *args],
                          cwd=ROOT, capture_output=True, text=True)


def test_package_passes_strict_mypy():
    done = mypy()  # files and strictness from pyproject.toml
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_are_found_and_catch_misuse(tmp_path):
    snippet = tmp_path / "use.py"
    snippet.write_text(
        "import _morvane\n"
        "m: _morvane.BufrMessage = _morvane.parse_bytes(b'')\n"
        "year: int = m.typical_year\n"
        "bad: str = m.number_of_subsets\n"
        "_morvane.decode_values_with_tables(b'', 'not a table set')\n")
    done = mypy("--strict", str(snippet))
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["4", "5"], done.stdout
