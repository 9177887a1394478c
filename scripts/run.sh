#!/usr/bin/env bash
# The main job: the qkr tool's demo.
set -euo pipefail
build=${1:-build}
exec "$build/tools/qkr/qkr" demo
