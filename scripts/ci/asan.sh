#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer: one instrumented build of the
# core serves both the C++ suites (the fuzz corpus replay among them) and the
# extension, which then runs the Python suite with the runtime preloaded into
# the interpreter. Any report fails the run: undefined behaviour does not recover.
set -euo pipefail
cd "$(dirname "$0")/../.."
PY=${PYTHON:-python3}
BUILD=build/asan
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# GCC 12 sees uninitialised members inside <regex> and <functional> once the
# sanitizers instrument them (its own headers, a known false positive).
[ "$("${CXX:-c++}" -dumpversion 2>/dev/null | cut -d. -f1)" = 12 ] && FLAGS="$FLAGS -Wno-maybe-uninitialized"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DNODALIS_TESTS=ON -DNODALIS_PYTHON=ON -DNODALIS_WERROR=ON \
      -DPython_EXECUTABLE="$(command -v "$PY")" \
      -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" \
      -DCMAKE_SHARED_LINKER_FLAGS="$FLAGS" -DCMAKE_MODULE_LINKER_FLAGS="$FLAGS" >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}"

export ASAN_OPTIONS=detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j 2

# The instrumented module, installed beside the pure-Python package.
SITE=$BUILD/site
rm -rf "$SITE"
cmake --install "$BUILD" --prefix "$SITE" >/dev/null
cp -r python/nodalis "$SITE/"
# The interpreter itself is not instrumented: the runtime must come first, and
# what CPython keeps until exit is not a leak of ours.
RUNTIME=$("${CXX:-c++}" -print-file-name=libasan.so)
# pytest captures stderr, so reports go to files, shown when the run fails.
REPORTS=$PWD/$BUILD/reports
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
cd tests/python
ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0:log_path=$REPORTS/asan \
UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$REPORTS/ubsan LD_PRELOAD="$RUNTIME" \
PYTHONPATH="$PWD/../../$SITE" "$PY" -m pytest -q -p no:cacheprovider -x . \
  || { cat "$REPORTS"/* 2>/dev/null; exit 1; }
if [ -n "$(ls -A "$REPORTS")" ]; then cat "$REPORTS"/*; exit 1; fi
