#!/usr/bin/env bash
# Seeded-fault check of the test suite. Each patch in scripts/mutants/ (or each patch given
# as an argument) plants one fault in the source; the script applies it, rebuilds the
# incremental test build in build/mutants (or $VELKAN_MUTANTS_BUILD_DIR), runs the suite
# with -x, and reverts the patch. A fault counts as caught when at least one test fails
# (or the interpreter dies). Prints one line per fault and a total; exits 1 when a fault
# survived or did not build.
#
# The working tree is restored on every exit, Ctrl-C included. Run it on a clean tree.
set -uo pipefail
cd "$(dirname "$0")/.."
build_dir="${VELKAN_MUTANTS_BUILD_DIR:-build/mutants}"
python="${PYTHON:-python3}"

if ! git diff --quiet -- src python; then
  echo "mutants.sh: src/ or python/ has uncommitted changes; commit or stash them first" >&2
  exit 2
fi

applied=""
restore() {
  if [ -n "$applied" ]; then
    git apply -R "$applied" || git checkout -- src python
    applied=""
  fi
}
trap 'restore' EXIT
trap 'restore; echo "interrupted" >&2; exit 130' INT TERM

if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DVELKAN_TESTING=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null || exit 2
fi
build() { cmake --build "$build_dir" -j2 >"$build_dir/mutant-build.log" 2>&1; }
build || { echo "mutants.sh: the unmodified tree does not build" >&2; exit 2; }

case "$build_dir" in
  /*) module_dir="$build_dir/python" ;;
  *) module_dir="$PWD/$build_dir/python" ;;
esac

if [ "$#" -gt 0 ]; then patches=("$@"); else patches=(scripts/mutants/*.patch); fi
total=0
caught=0
for patch in "${patches[@]}"; do
  name="$(basename "$patch" .patch)"
  total=$((total + 1))
  if ! git apply "$patch"; then
    printf '%-44s NOT APPLIED\n' "$name"
    continue
  fi
  applied="$patch"
  start=$SECONDS
  if ! build; then
    printf '%-44s DID NOT BUILD\n' "$name"
    restore
    continue
  fi
  log="$build_dir/mutant-pytest.log"
  PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" "$python" -m pytest -x -q \
    -p no:cacheprovider -rf >"$log" 2>&1
  rc=$?
  seconds=$((SECONDS - start))
  if [ "$rc" -eq 1 ] || [ "$rc" -gt 128 ]; then
    caught=$((caught + 1))
    first="$(grep -m1 -oE '^FAILED [^ ]+' "$log" | cut -d' ' -f2)"
    printf '%-44s caught    %4ss  %s\n' "$name" "$seconds" "${first:-interpreter died (rc $rc)}"
  elif [ "$rc" -eq 0 ]; then
    printf '%-44s SURVIVED  %4ss\n' "$name" "$seconds"
  else
    printf '%-44s ERROR     %4ss  pytest exit %s\n' "$name" "$seconds" "$rc"
  fi
  restore
done
build || echo "mutants.sh: rebuilding the unmodified tree failed" >&2
echo "total: $caught of $total faults caught"
[ "$caught" -eq "$total" ]
