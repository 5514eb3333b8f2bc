#!/usr/bin/env bash
# completionTest.sh MDF_CLI TMGR_DEMO COMPLETION_FILE
# Calls mdf-cli's completion function the way bash does, against a running tmgr-demo: the
# options, the demo's pid after -p, and the command words that the demo's "help" lists.
set -uo pipefail
mdf_cli=$1 demo=$2
# shellcheck source=/dev/null
source "$3"
"$demo" --seconds 60 >/dev/null 2>&1 &
demo_pid=$!
trap 'kill "$demo_pid" 2>/dev/null; wait "$demo_pid"' EXIT
for _ in $(seq 200); do
    [[ -S /tmp/mdf-server.$demo_pid.socket ]] && break
    sleep 0.1
done

failures=0
# expect "WANTED" WORD...: completing the last WORD offers exactly WANTED (sorted, blank-joined).
expect() {
    local wanted=$1
    shift
    COMP_WORDS=("$mdf_cli" "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _mdf_cli
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | paste -sd ' ')
    if [[ $got != "$wanted" ]]; then
        printf 'completing "%s": wanted "%s", got "%s"\n' "$*" "$wanted" "$got"
        failures=$((failures + 1))
    fi
}
# offers WORD...: completing the last WORD offers the demo's pid among others.
offers_demo_pid() {
    COMP_WORDS=("$mdf_cli" "$@")
    COMP_CWORD=$#
    _mdf_cli
    if ! printf '%s\n' "${COMPREPLY[@]}" | grep -qx "$demo_pid"; then
        printf 'completing "%s": the pid %s is not offered (%s)\n' "$*" "$demo_pid" "${COMPREPLY[*]}"
        failures=$((failures + 1))
    fi
}

expect "--clean-stale" --cl
expect "--clean-stale --dir --help --list" --dir /tmp --
offers_demo_pid -p ""
expect "" --dir /nonexistent -p ""
expect "help mdf-show-state tmgr-debug-enable tmgr-show-state" -p "$demo_pid" ""
expect "tmgr-debug-enable tmgr-show-state" -s "/tmp/mdf-server.$demo_pid.socket" tmgr-
expect "" -p "$demo_pid" tmgr-show-state ""
expect "" --list ""
"$mdf_cli" -p "$demo_pid" tmgr-debug-enable >/dev/null
expect "tmgr-debug-enable tmgr-disable-timers" -p "$demo_pid" tmgr-d
exit $((failures > 0))
