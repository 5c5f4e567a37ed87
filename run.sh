#!/usr/bin/env bash
# Installs what is missing, builds Release, then records 20 s unattended from the simulated
# Kestrel-9 into demo/a.pwv (exported as demo/a.txt) and prints the analysis of the record.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build
mkdir -p demo
# The demo keeps its settings in demo/config, apart from the user's own (and does not replace a
# running instance that uses those).
XDG_CONFIG_HOME="$PWD/demo/config" build/bin/corvina --headless --simulate --out_file=demo/a --duration=20
build/bin/corvina-tool analyze demo/a.pwv
