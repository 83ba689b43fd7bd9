"""The documentation runs as written: the README's quick start, the guide's worked example
and its page on checking models, and the examples in the public docstrings. (The gallery
runs when the documentation site is built.)"""

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import velkan
from velkan import _formula, _gam, _io, _posterior, _sklearn, _terms

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
GUIDE = ROOT / "docs" / "guide"


def readme_block(heading, path=README):
    text = path.read_text()
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


def test_worked_example_prints_what_the_guide_says(tmp_path):
    out = run(readme_block("Worked example", GUIDE / "data.md"), tmp_path)
    text = (GUIDE / "data.md").read_text()
    claimed = re.search(r"It prints .*?```\n(.*?)```", text[text.index("## Worked example"):], re.S).group(1)
    scores = [line for line in claimed.splitlines() if "R^2" in line]
    assert scores and all(line in out.splitlines() for line in scores), out


def test_checking_page_runs(tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", (GUIDE / "checking.md").read_text(), re.S)
    out = run("\n".join(blocks) + "\nprint(velkan.interval(pred.mean(axis=1)))", tmp_path)
    assert "Basis size" in out and re.search(r"\[\s*[0-9.]+\s+[0-9.]+\s*\]", out)


@pytest.mark.parametrize("module", [velkan, _gam, _terms, _formula, _io, _sklearn, _posterior],
                         ids=lambda m: m.__name__)
def test_docstring_examples(module):
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    result = doctest.testmod(module, optionflags=flags, verbose=False)
    assert result.attempted > 0 and result.failed == 0
