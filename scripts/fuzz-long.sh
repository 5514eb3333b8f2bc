#!/usr/bin/env bash
# The longer fuzzing run: each target for FUZZ_SECONDS (default 600), keeping the inputs it
# finds in <build dir>/corpus/<target> for the next run. Same options as fuzz-smoke.sh.
# To fold what a run found into the committed seeds, minimised:
#   build/fuzz/fuzz/<target> -merge=1 fuzz/corpus/<target> build/fuzz/corpus/<target>
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS="${FUZZ_SECONDS:-600}" FUZZ_KEEP_CORPUS=1 exec ./scripts/fuzz-smoke.sh "$@"
