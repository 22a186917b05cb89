#!/usr/bin/env bash
# Runs the thread tests on a free-threaded CPython 3.13 with the GIL off. No such
# interpreter is packaged for this Debian, so the first run builds one from Debian's
# python3.13 source package (--disable-gil) into a cache outside the checkout;
# later runs reuse it and only rebuild and reinstall the module.
set -euo pipefail
cd "$(dirname "$0")/../.."

CACHE=${NODALIS_CACHE:-$HOME/.cache/nodalis}
SUITE=${NODALIS_FT_SUITE:-trixie}         # a Debian suite that carries python3.13
PREFIX=$CACHE/python3.13t
FTPY=$PREFIX/bin/python3.13t
JOBS=${JOBS:-2}

debian_mirror() {
  # The machine's own mirror of the main archive (not its security archive): from
  # deb822 .sources files first, then the one-line format. A machine has often
  # only one of the two, and under pipefail a grep finding no file or no line
  # would end the whole script without a word: an empty answer is the caller's
  # to report.
  { grep -hsE '^URIs:' /etc/apt/sources.list.d/*.sources | tr ' ' '\n' | grep -E '^https?://' || true
    grep -hsE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
      | sed -E 's/\[[^]]*\]//' | awk '{print $2}' || true
  } | grep -E '/debian/?$' | head -n1 || true
}

fetch_source() {
  # A private apt configuration: a deb-src entry for another suite must not leak
  # into the machine's own package sources.
  local apt=$CACHE/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$CACHE/src"
  local mirror
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || { echo "no Debian mirror found in the machine's apt sources" >&2; exit 1; }
  printf 'deb-src %s %s main\n' "$mirror" "$SUITE" >"$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
              -o APT::Sandbox::User=root -qq)
  apt-get "${opts[@]}" update
  (cd "$CACHE/src" && apt-get "${opts[@]}" source --download-only python3.13)
}

build_interpreter() {
  local tarball
  tarball=$(ls "$CACHE"/src/python3.13_*.orig.tar.xz 2>/dev/null | tail -n1 || true)
  [ -n "$tarball" ] || { fetch_source; tarball=$(ls "$CACHE"/src/python3.13_*.orig.tar.xz | tail -n1); }
  local work=$CACHE/build-python3.13t
  rm -rf "$work" && mkdir -p "$work"
  # The pristine upstream tree: Debian's patches assume Debian's own build layout.
  tar -xf "$tarball" -C "$work" --strip-components=1
  (cd "$work" && ./configure --disable-gil --prefix="$PREFIX" --with-ensurepip=install \
      >"$work/configure.log" 2>&1 \
   && make -j"$JOBS" >"$work/make.log" 2>&1 \
   && make install >"$work/install.log" 2>&1) \
    || { echo "building the free-threaded interpreter failed; logs in $work" >&2; exit 1; }
  rm -rf "$work"
}

if ! "$FTPY" -c 'import sys, ssl; assert not sys._is_gil_enabled()' -X gil=0 2>/dev/null; then
  echo "building a free-threaded CPython 3.13 into $PREFIX (once)"
  build_interpreter
fi

"$FTPY" -m pip install --quiet --disable-pip-version-check --only-binary=:all: pytest hypothesis
# scikit-build-core keys its build directory by wheel tag, so this build
# (cp313t) never shares one with the default interpreter's.
"$FTPY" -m pip install --quiet --disable-pip-version-check .

# The thread tests, and every suite of the core alone (the rest need numpy
# and friends, which this interpreter lacks): with the GIL off, conversions
# that mutate their own argument meet the per-object locks too.
cd tests/python
suites=()
for f in test_*.py; do
  case $f in test_example.py|test_readme.py) continue ;; esac  # they run the examples
  grep -qE '^ *(import|from) (numpy|pandas|nodalis|run_graphs|pipelines)([ .]|$)' "$f" || suites+=("$f")
done
"$FTPY" -X gil=0 -W error::RuntimeWarning -m pytest -q -p no:cacheprovider "${suites[@]}"
