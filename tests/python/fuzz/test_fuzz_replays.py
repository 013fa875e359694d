"""The fuzz corpora replayed through the Python-level targets
(fuzz/python_targets.py): compiling each script input and reading each
configuration input raise only the documented errors. Each replay runs in a
process of its own, so that a crash or a hang fails the test instead of the
suite."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
FUZZ = ROOT / "fuzz"


@pytest.mark.timeout(300)
@pytest.mark.parametrize(
    "target, corpus", [("compile", "parser"), ("client_config", "config")]
)
def test_corpus_raises_only_documented_errors(target, corpus):
    folders = [
        FUZZ / kind / corpus
        for kind in ("corpus", "regressions", "seeds")
        if (FUZZ / kind / corpus).is_dir()
    ]
    replay = subprocess.run(
        [sys.executable, str(FUZZ / "python_targets.py"), target, *map(str, folders)],
        capture_output=True,
        text=True,
        timeout=280,
        check=False,
    )
    assert replay.returncode == 0, replay.stderr[-4000:]
    assert replay.stdout.startswith("replayed "), replay.stdout
