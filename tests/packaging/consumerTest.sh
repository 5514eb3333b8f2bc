#!/usr/bin/env bash
# consumerTest.sh CMAKE BUILD_DIR WORK_DIR CONSUMER_SOURCE_DIR
# Installs the build into WORK_DIR/prefix, then builds and runs the consumer programs against
# it with the CMake package (asking for version 0.1; a request for 0.2 must be refused) and
# with pkg-config, linked with --as-needed and a run path to the prefix's library folder only:
# nothing sets LD_LIBRARY_PATH, so each installed library has to find its siblings itself, as
# the installed programs find the libraries.
set -euo pipefail
cmake_exe=$1 build_dir=$2 work=$3 consumer_src=$4
rm -rf "$work"
prefix=$work/prefix
"$cmake_exe" --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libcommonTimerManager.so' -printf '%h\n' | head -n 1)
unset LD_LIBRARY_PATH
"$prefix/bin/tmgr-demo" --help >/dev/null

"$cmake_exe" -S "$consumer_src" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake_exe" --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer"
"$work/with-cmake/managerOnly"
if "$cmake_exe" -S "$consumer_src" -B "$work/too-new" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCTM_REQUESTED_VERSION=0.2 >/dev/null 2>&1; then
    echo "find_package accepted a request for version 0.2" >&2
    exit 1
fi

export PKG_CONFIG_PATH=$libdir/pkgconfig
mkdir -p "$work/with-pkgconfig"
for program in consumer managerOnly; do
    # shellcheck disable=SC2046
    ${CXX:-c++} -std=c++17 -Wl,--as-needed -o "$work/with-pkgconfig/$program" \
        "$consumer_src/$program.cpp" $(pkg-config --cflags --libs commonTimerManager) \
        -Wl,-rpath,"$libdir"
    "$work/with-pkgconfig/$program"
done
echo "consumers built and ran with the CMake package and with pkg-config"
