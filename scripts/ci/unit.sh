#!/usr/bin/env bash
# The plain suites: the C++ tests through ctest (the benchmarks built
# beside them); the module installed (built with warnings as errors); mypy
# over the Python layer, stubtest of the stubs against the installed module,
# and the Python suite. Either runner finding no test is a failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
PY=${PYTHON:-python3}

# The C++ benchmarks are built too, not run: nothing else would notice when
# one stops compiling.
cmake -S . -B build/tests -DNODALIS_TESTS=ON -DNODALIS_PYTHON=OFF -DNODALIS_WERROR=ON -DNODALIS_BENCH=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tests -j "${JOBS:-2}"
ctest --test-dir build/tests --output-on-failure --no-tests=error -j 2

"$PY" -m pip install --quiet '.[test]' -C cmake.define.NODALIS_WERROR=ON

# The Python layer's type hints, against the stubs of the core.
"$PY" -m mypy

# From a neutral directory, so the installed module is what gets imported.
cd tests/python
# The stubs must describe the installed module exactly.
"$PY" -m mypy.stubtest nodalis_core
"$PY" -m pytest -q -p no:cacheprovider .
