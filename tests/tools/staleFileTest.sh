#!/usr/bin/env bash
# staleFileTest.sh TMGR_DEMO MDF_CLI
# A process killed by a signal leaves its socket files; the next process with the same pid and
# thread value then exits at start-up, until mdf-cli --clean-stale removes them. Each run gets
# pid 2 in a fresh pid namespace and the same thread value with address-space randomisation
# off; /tmp is a private tmpfs, so nothing outside the test is touched. Exit 77: skipped.
set -uo pipefail
demo=$1 mdf_cli=$2
# Runs "$@" as pid 2 of a new pid namespace (pid 1 is the shell).
as_pid_2() { unshare --pid --fork --mount-proc setarch -R sh -c '"$@"; exit $?' - "$@"; }
if [[ ${1:-} != --inside ]]; then
    unshare --mount sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null || exit 77
    exec unshare --mount "$0" --inside "$demo" "$mdf_cli"
fi
shift
demo=$1 mdf_cli=$2
mount -t tmpfs tmpfs /tmp || exit 1
unshare --pid --fork --mount-proc setarch -R sh -c '"$1" --seconds 60 >/dev/null 2>&1 &
    for _ in $(seq 200); do [ -S /tmp/mdf-server.2.socket ] && break; sleep 0.1; done
    kill -9 $!' - "$demo"
left=$(ls /tmp)
[[ $left == *mdf-server.2.socket*timer_manager_cb.socket.PID2.TID* ]] || { echo "left: $left"; exit 1; }
as_pid_2 "$demo" --seconds 1 >/dev/null 2>&1
[[ $? == 1 ]] || { echo "the second run did not exit 1 at start-up"; exit 1; }
# As pid 1 of its own namespace, where no process has pid 2.
unshare --pid --fork --mount-proc "$mdf_cli" --clean-stale
[[ -z $(ls /tmp) ]] || { echo "left after cleaning: $(ls /tmp)"; exit 1; }
as_pid_2 "$demo" --seconds 1 >/dev/null 2>&1 || { echo "the run after cleaning failed"; exit 1; }
