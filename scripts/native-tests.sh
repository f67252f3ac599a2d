#!/usr/bin/env bash
# Builds and tests native/libvexakov three ways: plain unit tests, the same
# tests under ASan+UBSan, and a time-boxed libFuzzer run over the seed corpus.
# Run from anywhere; build trees go to build/native-{tests,asan,fuzz}.
# FUZZ_SECONDS (default 60) bounds the fuzzing stage.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
SRC=native/libvexakov
FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
JOBS="${JOBS:-2}"

GENERATOR=()
if command -v ninja >/dev/null 2>&1; then
  GENERATOR=(-G Ninja)
fi

section() {
  printf '\n======== %s ========\n' "$*"
}

configure_and_build() {
  local dir="$1"
  shift
  # A tree configured with another generator or compiler cannot be reused.
  rm -rf "$dir"
  cmake -S "$SRC" -B "$dir" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j "$JOBS"
}

check_exports() {
  local lib
  lib="$(find "$1" -maxdepth 1 -name 'libvexakov-full.*.so' -print -quit)"
  [[ -n "$lib" ]] || { echo "no libvexakov-full.*.so in $1" >&2; exit 1; }
  local exported
  exported="$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')"
  if [[ "$exported" != "ArchSupportsOperator_Py ArchqueryParameter_Py " ]]; then
    echo "$lib exports unexpected symbols: $exported" >&2
    exit 1
  fi
  echo "exports OK: $(basename "$lib") -> $exported"
}

section "libvexakov: build + unit tests (default compiler)"
configure_and_build build/native-tests -DVEXAKOV_BUILD_TESTS=ON
check_exports build/native-tests
ctest --test-dir build/native-tests --output-on-failure -j "$JOBS"

section "libvexakov: unit tests under ASan + UBSan (clang-14)"
CC=clang-14 CXX=clang++-14 configure_and_build build/native-asan \
  -DVEXAKOV_BUILD_TESTS=ON -DVEXAKOV_SANITIZE=ON
check_exports build/native-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/native-asan --output-on-failure -j "$JOBS"

section "libvexakov: libFuzzer for ${FUZZ_SECONDS}s (clang-14)"
CC=clang-14 CXX=clang++-14 configure_and_build build/native-fuzz -DVEXAKOV_BUILD_FUZZER=ON
# Work on a copy: new corpus entries must not land in the repo.
FUZZ_DIR=build/native-fuzz/run
rm -rf "$FUZZ_DIR"
mkdir -p "$FUZZ_DIR/corpus" "$FUZZ_DIR/artifacts"
cp "$SRC"/fuzz/corpus/* "$FUZZ_DIR/corpus/"
fuzz_status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/native-fuzz/fuzz_vexakov \
    -max_total_time="$FUZZ_SECONDS" \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -max_len=8192 \
    -print_final_stats=1 \
    -dict="$SRC/fuzz/vexakov.dict" \
    -artifact_prefix="$FUZZ_DIR/artifacts/" \
    "$FUZZ_DIR/corpus" >"$FUZZ_DIR/fuzz.log" 2>&1 || fuzz_status=$?
tail -n 25 "$FUZZ_DIR/fuzz.log"
if [[ $fuzz_status -ne 0 ]] || [[ -n "$(ls -A "$FUZZ_DIR/artifacts")" ]]; then
  echo "fuzzer reported a finding (exit $fuzz_status); see $FUZZ_DIR/fuzz.log" >&2
  ls -l "$FUZZ_DIR/artifacts" >&2
  exit 1
fi

section "libvexakov: all native stages passed"
