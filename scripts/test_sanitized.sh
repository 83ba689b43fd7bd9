#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/asan (or $VELKAN_ASAN_BUILD_DIR) and runs the test suite (or the tests and pytest
# options given as arguments) against them. The interpreter itself is not
# instrumented, so the ASan runtime is preloaded and leak detection (which would report
# the interpreter's own allocations) is off.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  "numpy>=1.26" "scipy-openblas32>=0.3.27" "nanobind>=2.0" scipy "pytest>=7" "hypothesis>=6" cmake ninja \
  pyarrow "dask[distributed,dataframe]" tqdm
build_dir="${VELKAN_ASAN_BUILD_DIR:-build/asan}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELKAN_TESTING=ON -DVELKAN_SANITIZE=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build_dir"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
case "$build_dir" in
  /*) module_dir="$build_dir/python" ;;
  *) module_dir="$PWD/$build_dir/python" ;;
esac
export PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}"
python3 -m pytest -q -p no:cacheprovider "$@"
