#!/usr/bin/env bash
# Installs velkan with its runtime dependencies (and pandas and scikit-learn, which the
# example job uses) and runs the example job.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  "scikit-build-core>=0.10" "cmake>=3.24" ninja "numpy>=1.26" "scipy-openblas32>=0.3.27" "nanobind>=2.0" \
  pandas scikit-learn
# The distribution was called velkan_core before the velkan package joined it.
python3 -m pip uninstall --quiet --yes --root-user-action=ignore velkan_core 2>/dev/null || true
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  --no-build-isolation -C build-dir=build/release .
python3 examples/main_job.py "$@"
