#!/usr/bin/env bash
# Installs what is missing, builds Release and runs the main job.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build
scripts/bench --quick
