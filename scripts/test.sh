#!/usr/bin/env bash
# Installs everything the tests need (from PyPI), builds velkan_core together with the
# test-only module _velkan_testing, and runs the whole test suite (or the tests and
# pytest options given as arguments).
#
# Without arguments it then runs the whole suite a second time against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (scripts/test_sanitized.sh, a few
# minutes more); set VELKAN_SKIP_SANITIZED=1 to leave that pass out.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  "scikit-build-core>=0.10" "cmake>=3.24" ninja "numpy>=1.26" "scipy-openblas32>=0.3.27" "nanobind>=2.0" \
  scipy "pytest>=7" "hypothesis>=6" pandas polars pyarrow scikit-learn matplotlib \
  "dask[distributed,dataframe]" tqdm
# The distribution was called velkan_core before the velkan package joined it.
python3 -m pip uninstall --quiet --yes --root-user-action=ignore velkan_core 2>/dev/null || true
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  --no-build-isolation -C cmake.define.VELKAN_TESTING=ON -C build-dir=build/test .
python3 -m pytest -q -p no:cacheprovider "$@"
if [ "$#" -eq 0 ] && [ "${VELKAN_SKIP_SANITIZED:-0}" != "1" ]; then
  echo "== the same suite under AddressSanitizer and UndefinedBehaviorSanitizer =="
  bash scripts/test_sanitized.sh
fi
