#!/usr/bin/env bash
# Sets everything up, then runs the main job on the built-in example: the
# architectures the accelerator library knows, and a quantized CNN partitioned
# for the smallest of them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/vexatvm arch
echo
.venv/bin/vexatvm partition int8-cnn --arch vexa-nano
