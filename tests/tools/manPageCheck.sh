#!/usr/bin/env bash
# manPageCheck.sh PAGE...
# Each man page renders without a single warning, through man and through groff alone.
set -uo pipefail
status=0
for page in "$@"; do
    warnings=$({ man -l --warnings -E UTF-8 "$page" >/dev/null; } 2>&1)
    warnings+=$(groff -ww -man -z "$page" 2>&1)
    if [[ -n $warnings || ! -s $page ]]; then
        printf '%s:\n%s\n' "$page" "${warnings:-empty page}"
        status=1
    fi
done
exit $status
