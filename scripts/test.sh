#!/usr/bin/env bash
# Sets everything up, then runs every test: the native library's C ABI tests
# (plain and under ASan/UBSan), its fuzzer for a bounded time, mypy with the
# stubs of the extension modules checked against the modules, and pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test,networks
bash scripts/native-tests.sh
echo "== mypy"
.venv/bin/python -m mypy
echo "== stubtest"
.venv/bin/python -m mypy.stubtest --mypy-config-file pyproject.toml --allowlist scripts/stubtest-allowlist.txt \
  vexatvm_internal.patterns vexatvm_internal.blockpatterns vexatvm_internal.netunion vexatvm_internal.archquery \
  vexatvm_internal._libbind vexatvm_internal.rewrites vexatvm_internal.formats vexatvm_standins._traversal
echo "== pytest"
.venv/bin/python -m pytest "$@"
