#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/asan (or $VELKAN_ASAN_BUILD_DIR) and runs the test suite (or the tests and pytest
# options given as arguments) against them. The interpreter itself is not
# instrumented, so the ASan runtime is preloaded and leak detection (which would report
# the interpreter's own allocations) is off.
set -euo pipefail
cd "$(dirname "$0")/.."
pip_install() {
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore "$@"
}
pip_install "tomli>=1.1; python_version < '3.11'"
mapfile -t requirements < <(python3 scripts/requirements.py build runtime test)
pip_install "${requirements[@]}"
build_dir="${VELKAN_ASAN_BUILD_DIR:-build/asan}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELKAN_TESTING=ON -DVELKAN_SANITIZE=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build_dir" -j2
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
case "$build_dir" in
  /*) module_dir="$build_dir/python" ;;
  *) module_dir="$PWD/$build_dir/python" ;;
esac
export PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}"
python3 -m pytest -q -p no:cacheprovider "$@"
