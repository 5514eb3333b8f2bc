#!/usr/bin/env bash
# The checker runs that follow the main workflow (cmake --workflow --preset check); any report
# fails the run:
#   1. AddressSanitizer with UndefinedBehaviorSanitizer: the whole suite through ctest
#      (packaging and lint left out), preset "asan".
#   2. ThreadSanitizer: the whole suite through ctest without the heavy cases, preset "tsan".
#   3. valgrind --leak-check=full over the core suite: the timer, platform, handle (api),
#      reliability and operator-tool test executables of build/dev, each run once as a whole,
#      heavy and death cases left out. The only leak the library makes on purpose ("user
#      error - leaking user data") never shows: the tests that trigger it own and delete their
#      user data.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset asan
cmake --workflow --preset tsan

if [ ! -f build/dev/CMakeCache.txt ]; then
    cmake --preset dev
fi
cmake --build --preset dev

# The heavy cases, as ctest names them ("Suite.Case"), become a gtest exclusion filter.
heavy=$(ctest --test-dir build/dev -N -L heavy | sed -n 's/^ *Test *#[0-9]*: //p' | tr '\n' ':')
filter="-*DeathTest*:${heavy%:}"
status=0
for exe in build/dev/tests/timer/*Test build/dev/tests/platform/*Test build/dev/tests/api/*Test \
           build/dev/tests/reliability/*Test build/dev/tests/tools/*Test; do
    [ -x "$exe" ] || continue
    echo "valgrind: $exe"
    if ! valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
            --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
            --child-silent-after-fork=yes --suppressions=tests/valgrind.supp \
            "$exe" --gtest_filter="$filter" --gtest_brief=1; then
        echo "valgrind: $exe FAILED"
        status=1
    fi
done
exit $status
