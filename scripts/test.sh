#!/usr/bin/env bash
# Sets everything up, then runs every test: the native library's C ABI tests
# (plain and under ASan/UBSan), its fuzzer for a bounded time, and pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test,networks
bash scripts/native-tests.sh
echo "== pytest"
.venv/bin/python -m pytest "$@"
