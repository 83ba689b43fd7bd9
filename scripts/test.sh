#!/usr/bin/env bash
# Installs everything the tests need (from PyPI, as pyproject.toml lists it), builds
# velkan_core together with the test-only module _velkan_testing, and runs the whole test
# suite (or the tests and pytest options given as arguments).
#
# Without arguments it then builds the documentation site with warnings as errors, which
# runs every example of the gallery (scripts/build_docs.sh), and runs the whole suite a
# second time against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (scripts/test_sanitized.sh, a few minutes more); set VELKAN_SKIP_SANITIZED=1 to leave
# that pass out.
set -euo pipefail
cd "$(dirname "$0")/.."
pip_install() {
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore "$@"
}
pip_install "tomli>=1.1; python_version < '3.11'"
mapfile -t requirements < <(python3 scripts/requirements.py build runtime test docs)
pip_install "${requirements[@]}"
# The distribution was called velkan_core before the velkan package joined it.
python3 -m pip uninstall --quiet --yes --root-user-action=ignore velkan_core 2>/dev/null || true
# Without build isolation the build directory stays valid from one run to the next, so a
# rebuild compiles only what changed.
pip_install --no-build-isolation --no-deps -C cmake.define.VELKAN_TESTING=ON \
  -C build-dir=build/test .
python3 -m pytest -q -p no:cacheprovider "$@"
if [ "$#" -eq 0 ]; then
  echo "== the documentation site, its gallery run =="
  bash scripts/build_docs.sh
fi
if [ "$#" -eq 0 ] && [ "${VELKAN_SKIP_SANITIZED:-0}" != "1" ]; then
  echo "== the same suite under AddressSanitizer and UndefinedBehaviorSanitizer =="
  bash scripts/test_sanitized.sh
fi
