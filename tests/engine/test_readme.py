"""The documentation runs as written: the README's quick start and worked example, and the
examples in the public docstrings."""

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import velkan
from velkan import _formula, _gam, _io, _sklearn, _terms

README = Path(__file__).resolve().parents[2] / "README.md"


def readme_block(heading):
    text = README.read_text()
    section = text[text.index(f"\n## {heading}"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def run(code, cwd):
    package_root = str(Path(velkan.__file__).resolve().parents[1])
    env = dict(os.environ, MPLBACKEND="Agg",
               PYTHONPATH=os.pathsep.join([package_root] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    done = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_quick_start(tmp_path):
    out = run(readme_block("Quick start"), tmp_path)
    assert (tmp_path / "effects.png").stat().st_size > 10_000
    assert re.search(r"\[\s*[0-9.]+\s+[0-9.]+\s+[0-9.]+\s*\]", out)


def test_worked_example_prints_what_the_readme_says(tmp_path):
    out = run(readme_block("Worked example"), tmp_path)
    text = README.read_text()
    claimed = re.search(r"It prints .*?```\n(.*?)```", text[text.index("## Worked example"):], re.S).group(1)
    scores = [line for line in claimed.splitlines() if "R^2" in line]
    assert scores and all(line in out.splitlines() for line in scores), out


@pytest.mark.parametrize("module", [velkan, _gam, _terms, _formula, _io, _sklearn], ids=lambda m: m.__name__)
def test_docstring_examples(module):
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    result = doctest.testmod(module, optionflags=flags, verbose=False)
    assert result.attempted > 0 and result.failed == 0
