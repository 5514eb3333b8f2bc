#!/usr/bin/env bash
# consumerTest.sh CMAKE BUILD_DIR WORK_DIR CONSUMER_SOURCE_DIR
# Installs the build into WORK_DIR/prefix, then builds and runs the consumer program against
# it with the CMake package and with pkg-config.
set -euo pipefail
cmake_exe=$1 build_dir=$2 work=$3 consumer_src=$4
rm -rf "$work"
prefix=$work/prefix
"$cmake_exe" --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libcommonTimerManager.so' -printf '%h\n' | head -n 1)
export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

"$cmake_exe" -S "$consumer_src" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake_exe" --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig
mkdir -p "$work/with-pkgconfig"
# shellcheck disable=SC2046
${CXX:-c++} -std=c++17 -o "$work/with-pkgconfig/consumer" "$consumer_src/consumer.cpp" \
    $(pkg-config --cflags --libs commonTimerManager)
"$work/with-pkgconfig/consumer"
echo "consumer built and ran with the CMake package and with pkg-config"
