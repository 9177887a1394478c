#!/usr/bin/env bash
# The main job: the qkr tool's demo once it is built, otherwise the end-to-end tests that exist.
set -euo pipefail
build=${1:-build}
if [ -x "$build/tools/qkr/qkr" ]; then
  exec "$build/tools/qkr/qkr" demo
fi
echo "qkr tool not built yet; running the end-to-end tests that exist instead"
cd "$build" && exec ctest --output-on-failure -L e2e
