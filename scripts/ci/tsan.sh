#!/usr/bin/env bash
# ThreadSanitizer over the C++ tests that share a store, an arena, the kept
# large blocks, the symbol table or a reducer between threads; a reported race
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=build/tsan
FLAGS="-fsanitize=thread -fno-omit-frame-pointer"
CONCURRENT='*Concurren*:*Thread*:KeyArena.*:GraphStore.FaultUnderTheLock*:LockedReducer.*'

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DNODALIS_TESTS=ON -DNODALIS_PYTHON=OFF -DNODALIS_WERROR=ON \
      -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}" --target base_test ir_test egraph_test optimizer_test

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# TSan's shadow memory needs the fixed layout it gets with address
# randomisation off; setarch turns it off for this process tree only.
run() { if setarch "$(uname -m)" -R true 2>/dev/null; then setarch "$(uname -m)" -R "$@"; else "$@"; fi; }
for t in base_test ir_test egraph_test optimizer_test; do
  run "$BUILD/$t" --gtest_filter="$CONCURRENT" --gtest_brief=1
done
