#!/usr/bin/env bash
# Sets everything up, then runs the main job on the built-in example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/vexatvm arch
