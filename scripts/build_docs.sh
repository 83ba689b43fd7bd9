#!/usr/bin/env bash
# Builds the documentation site (docs/ -> docs/_build/html) with Sphinx, warnings as errors.
# The build runs every script of examples/gallery (sphinx-gallery), so a failing example
# fails it. Uses the velkan importable in the running interpreter (scripts/test.sh installs
# it, with the docs extra of pyproject.toml); set PYTHONPATH=build/dev/python to document a
# development build instead.
set -euo pipefail
cd "$(dirname "$0")/.."
rm -rf docs/_build docs/auto_examples docs/_generated
MPLBACKEND=Agg python3 -m sphinx -W --keep-going -b html -q docs docs/_build/html
echo "documentation: docs/_build/html/index.html"
