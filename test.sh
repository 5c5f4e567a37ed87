#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   formatting, the Release build's tests, the ASan+UBSan build's non-UI tests,
#   the TSan build's threaded tests, and each fuzz target briefly on its corpus.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps

echo "== formatting"
scripts/check-format

echo "== Release build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVINA_WERROR=ON
cmake --build build
ctest --test-dir build --output-on-failure -j"$(nproc)"

echo "== ASan+UBSan build and tests (non-UI)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCORVINA_SANITIZE=address,undefined \
  -DCORVINA_UI=OFF -DCORVINA_BENCH=OFF -DCORVINA_WERROR=ON
cmake --build build/asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$(nproc)"

echo "== TSan build and threaded tests"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCORVINA_SANITIZE=thread \
  -DCORVINA_UI=OFF -DCORVINA_BENCH=OFF -DCORVINA_THREAD_TESTS_ONLY=ON -DCORVINA_WERROR=ON
cmake --build build/tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan --output-on-failure -j"$(nproc)" -L threads

echo "== fuzz targets"
scripts/fuzz "${CORVINA_FUZZ_SECONDS:-20}"

echo "== all tests passed"
