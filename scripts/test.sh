#!/usr/bin/env bash
# Installs what the tests need, then runs every check, each a step in
# scripts/ci/: the plain suites (ctest, mypy, stubtest, pytest), the sanitizer
# builds (ASan+UBSan, TSan) and the thread tests on a free-threaded
# interpreter. Any failure or sanitizer report fails the run.
# NODALIS_CI_STEPS picks steps by name (e.g. "unit tsan").
set -euo pipefail
cd "$(dirname "$0")/.."
export PYTHON=${PYTHON:-python3}
export JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$JOBS}  # pip's builds too

# GoogleTest for the C++ suites; Graphviz's dot, whose parsing of the DOT
# text of stores and of what `nodalis render` writes the Python suite checks;
# Ninja and ccache for the sanitizer builds.
APT_PACKAGES=()
if ! [ -e /usr/include/gtest/gtest.h ] && ! [ -e /usr/local/include/gtest/gtest.h ]; then
  APT_PACKAGES+=(libgtest-dev)
fi
command -v dot >/dev/null 2>&1 || APT_PACKAGES+=(graphviz)
command -v ninja >/dev/null 2>&1 || APT_PACKAGES+=(ninja-build)
command -v ccache >/dev/null 2>&1 || APT_PACKAGES+=(ccache)
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

# Compile results are kept between runs (in ccache's own ~/.cache/ccache):
# the sanitizer builds recompile the whole core, and most runs change a few
# files. Paths are made relative so that checkouts elsewhere share them.
export CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}

for step in ${NODALIS_CI_STEPS:-unit freethreaded tsan asan}; do
  start=$SECONDS
  echo "== $step"
  bash "scripts/ci/$step.sh"
  echo "== $step passed in $((SECONDS - start)) s"
done
