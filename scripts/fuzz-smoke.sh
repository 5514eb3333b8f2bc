#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for FUZZ_SECONDS (default 20) from its committed seed corpus. Fails on any crash,
# sanitizer report, leak, timeout or memory blow-up; the input that caused it is saved under
# <build dir>/artifacts/. Prints the executions each target ran.
#
#   scripts/fuzz-smoke.sh [TARGET...]       all three targets when none is named
#   FUZZ_SECONDS=600 scripts/fuzz-smoke.sh  a longer run (scripts/fuzz-long.sh does this)
#   FUZZ_BUILD_DIR=build/x                  build directory (default build/fuzz)
#   FUZZ_KEEP_CORPUS=1                      keep the inputs found in <build dir>/corpus/<target>
#                                           across runs instead of starting afresh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
build_dir="${FUZZ_BUILD_DIR:-build/fuzz}"
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(commandLineFuzzer timerCommandsFuzzer callbackDatagramFuzzer)

./scripts/install-deps.sh clang libclang-rt-14-dev

# Optimised, with the assertions kept (no -DNDEBUG).
cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DCTM_WERROR=ON -DCTM_SANITIZE=address,undefined \
      -DCTM_BUILD_FUZZERS=ON -DCTM_BUILD_TESTS=OFF -DCTM_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build_dir" -j2 --target "${targets[@]}"

# Longest input per target: the command line goes past the server's 4096-byte line bound.
max_len() { [ "$1" = commandLineFuzzer ] && echo 8192 || echo 2048; }

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$build_dir/artifacts"
total=0
for target in "${targets[@]}"; do
    work="$build_dir/corpus/$target"
    [ "${FUZZ_KEEP_CORPUS:-0}" = 1 ] || rm -rf "$work"
    mkdir -p "$work"
    log="$build_dir/$target.log"
    echo "== $target: ${seconds} s"
    # New inputs go to the first directory; the committed seeds are only read.
    if ! "$build_dir/fuzz/$target" "$work" "fuzz/corpus/$target" -max_total_time="$seconds" \
            -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$target")" \
            -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$target-" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz-smoke: $target FAILED (log: $log)" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    echo "   $target: ${runs:-?} executions, $coverage"
    total=$((total + ${runs:-0}))
done
echo "fuzz-smoke: passed, $total executions in all"
