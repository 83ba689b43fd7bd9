#!/usr/bin/env bash
# Prints the non-blank line counts of the test code (tests/ and the test-only module
# src/testing/) and of the product code (the rest of src/, plus the Python package
# python/ where it exists), and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { if [ "$#" -eq 0 ]; then echo 0; else cat "$@" | grep -c '[^[:space:]]' || true; fi; }
mapfile -t test_files < <(find tests src/testing -type f \( -name '*.py' -o -name '*.cpp' -o -name '*.h' \) | sort)
mapfile -t product_files < <(find src $( [ -d python ] && echo python ) -type f \
  \( -name '*.py' -o -name '*.cpp' -o -name '*.h' \) -not -path 'src/testing/*' | sort)
tests=$(count "${test_files[@]}")
product=$(count "${product_files[@]}")
echo "test lines:    $tests"
echo "product lines: $product"
awk -v t="$tests" -v p="$product" 'BEGIN { printf "ratio:         %.1f %%\n", 100 * t / p }'
