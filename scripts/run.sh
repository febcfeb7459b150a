#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
if [ -x build/vidmend/bin/vidmend ]; then
  exec build/vidmend/bin/vidmend "$@"
fi
echo "Built the repair library: $(ls build/libmendcore/libmendcore.so*)"
echo "The vidmend application is not part of this build yet."
