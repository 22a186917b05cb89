#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ core's
# GoogleTest suites (through ctest), mypy's stubtest of the type stubs against
# the installed module, and the Python suite (pytest).
# Either runner finding no test is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

# GoogleTest for the C++ suites; Graphviz's dot, whose parsing of the DOT
# text of stores and of what `nodalis render` writes the Python suite checks.
APT_PACKAGES=()
if ! [ -e /usr/include/gtest/gtest.h ] && ! [ -e /usr/local/include/gtest/gtest.h ]; then
  APT_PACKAGES+=(libgtest-dev)
fi
command -v dot >/dev/null 2>&1 || APT_PACKAGES+=(graphviz)
if [ ${#APT_PACKAGES[@]} -gt 0 ]; then
  if command -v apt-get >/dev/null 2>&1; then
    SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${APT_PACKAGES[@]}"
  else
    echo "missing ${APT_PACKAGES[*]} and apt-get is not available" >&2
    exit 1
  fi
fi

"$PY" -m pip install --quiet '.[test]'

cmake -S . -B build/tests -DNODALIS_TESTS=ON -DNODALIS_PYTHON=OFF -DNODALIS_WERROR=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/tests -j "$(nproc 2>/dev/null || echo 2)"
ctest --test-dir build/tests --output-on-failure --no-tests=error -j 2

# The Python layer's type hints, against the stubs of the core.
"$PY" -m mypy

# From a neutral directory, so the installed module is what gets imported.
cd tests/python
# The stubs must describe the installed module exactly.
"$PY" -m mypy.stubtest nodalis_core
"$PY" -m pytest -q -p no:cacheprovider .
