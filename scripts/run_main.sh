#!/usr/bin/env bash
# Installs velkan with its runtime dependencies and what the example job uses besides (the
# "examples" extra of pyproject.toml), and runs the example job.
set -euo pipefail
cd "$(dirname "$0")/.."
pip_install() {
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore "$@"
}
pip_install "tomli>=1.1; python_version < '3.11'"
mapfile -t requirements < <(python3 scripts/requirements.py build runtime examples)
pip_install "${requirements[@]}"
# The distribution was called velkan_core before the velkan package joined it.
python3 -m pip uninstall --quiet --yes --root-user-action=ignore velkan_core 2>/dev/null || true
pip_install --no-build-isolation --no-deps -C build-dir=build/release .
python3 examples/main_job.py "$@"
