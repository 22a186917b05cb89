#!/usr/bin/env bash
# The plain suites: the C++ tests through ctest, then the module installed
# (built with warnings as errors) and the Python suite run against it.
# Either runner finding no test is a failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
PY=${PYTHON:-python3}

cmake -S . -B build/tests -DNODALIS_TESTS=ON -DNODALIS_PYTHON=OFF -DNODALIS_WERROR=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tests -j "${JOBS:-2}"
ctest --test-dir build/tests --output-on-failure --no-tests=error -j 2

"$PY" -m pip install --quiet '.[test]' -C cmake.define.NODALIS_WERROR=ON
# From a neutral directory, so the installed module is what gets imported.
cd tests/python && "$PY" -m pytest -q -p no:cacheprovider .
