#!/usr/bin/env bash
# The whole test suite on a machine whose every core is already busy: one busy loop per core
# runs beside ctest, which runs the suite as the check workflow does (two cases at a time), ROUNDS
# times in a row. A test that assumes the machine is fast, or that two clocks agree, shows up
# here. Stops at the first round with a failure; prints one summary line per round.
#
#   scripts/check-under-load.sh                       builds the dev preset, three rounds
#   ROUNDS=1 scripts/check-under-load.sh              one round (CI)
#   LOAD_BUILD_DIR=build/x scripts/check-under-load.sh
#                       brings that configured build directory up to date and tests it instead
#   LOAD_LOOPS=N                                      busy loops (default: one per core)
#   LOAD_CTEST_ARGS="-LE heavy"                       more ctest arguments, split at blanks
#
# Each round's ctest output is kept in <build dir>/under-load-round-<n>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-3}
loops=${LOAD_LOOPS:-$(nproc)}
build=${LOAD_BUILD_DIR:-build/dev}
read -r -a extra_args <<<"${LOAD_CTEST_ARGS:-}"
if ! [[ "$rounds" =~ ^[1-9][0-9]*$ && "$loops" =~ ^[0-9]+$ ]]; then
    echo "check-under-load: ROUNDS must be a positive number and LOAD_LOOPS a number" >&2
    exit 64
fi

if [ -n "${LOAD_BUILD_DIR:-}" ]; then
    cmake --build "$build" --parallel "$(nproc)"
else
    cmake --preset dev
    cmake --build --preset dev
fi

# Busy loops and the running round, stopped by the trap on every way out of this script. Each
# loop also ends by itself once this script is gone (it checks every 100000 turns), should the
# script be killed with SIGKILL. A round runs in a session of its own, so that one signal ends
# ctest and every test process it started.
busy_pids=()
round_pid=
stop_all() {
    if [ -n "$round_pid" ]; then
        kill -TERM -- "-$round_pid" 2>/dev/null || true
        wait "$round_pid" 2>/dev/null || true
        round_pid=
    fi
    if [ "${#busy_pids[@]}" -gt 0 ]; then
        kill "${busy_pids[@]}" 2>/dev/null || true
        wait "${busy_pids[@]}" 2>/dev/null || true
        busy_pids=()
    fi
}
trap stop_all EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

for ((i = 0; i < loops; ++i)); do
    sh -c 'n=0; while :; do n=$((n + 1)); if [ $n -ge 100000 ]; then
               kill -0 "$1" 2>/dev/null || exit 0; n=0; fi; done' busy-loop $$ &
    busy_pids+=($!)
done
echo "check-under-load: $loops busy loops on $(nproc) cores, $rounds rounds of the suite in $build"

summaries=()
for ((round = 1; round <= rounds; ++round)); do
    log="$build/under-load-round-$round.log"
    start=$(date +%s)
    status=0
    # The options of the dev test preset: two cases at a time, 300 s for a case without a limit
    # of its own. The wait, unlike a pipeline in the foreground, lets a signal's trap run at once.
    # shellcheck disable=SC2016 # the inner shell expands its own arguments
    setsid bash -o pipefail -c 'ctest "$@" 2>&1 | tee "$0"' "$log" --test-dir "$build" \
        --output-on-failure --parallel 2 --timeout 300 "${extra_args[@]}" &
    round_pid=$!
    wait "$round_pid" || status=$?
    round_pid=
    seconds=$(($(date +%s) - start))
    result=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1 || true)
    summaries+=("round $round/$rounds: ${result:-no ctest summary}, $seconds s")
    if [ "$status" -ne 0 ]; then
        break
    fi
done

echo
echo "check-under-load: $loops busy loops on $(nproc) cores"
printf '  %s\n' "${summaries[@]}"
if [ "$status" -ne 0 ]; then
    echo "check-under-load: FAILED in round $round of $rounds (ctest status $status):"
    sed -n '/^The following tests FAILED:/,$p' "$log" | sed '1d; s/^/  /'
    echo "check-under-load: the round's whole output is in $log"
    exit 1
fi
echo "check-under-load: all $rounds rounds passed"
