#!/usr/bin/env bash
# Builds the packages (.deb and .tar.gz), installs the .deb on this machine, builds the consumer
# programs of tests/packaging/consumer against the system paths with find_package and with
# pkg-config, runs them, and removes the package again, also when a step fails. Run as root or
# with sudo; safe to run again after an interrupted run.
#
#   scripts/check-package.sh [BUILD_DIR]    (default build/package)
#
# The package must not take over a file it does not own: when a file it would install already
# exists on the machine (from another package or installed by hand), nothing is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${1:-build/package}
package=commontimermanager
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
trap 'echo "check-package: failed at line $LINENO" >&2' ERR

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCTM_WERROR=ON \
      -DCTM_BUILD_TESTS=OFF -DCTM_BUILD_EXAMPLES=OFF -DCTM_BUILD_APIDOC=ON >/dev/null
cmake --build "$build" -j2
rm -f "$build"/*.deb "$build"/*.tar.gz
(cd "$build" && cpack >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
deb=$(ls "$build"/${package}_*.deb)
archive=$(ls "$build"/commonTimerManager-*.tar.gz)

# The package's files (directories aside), as absolute paths.
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|')
archived=$(tar -tzf "$archive")
for wanted in libcommonTimerManager.so libcommonTimerPlatform.so bin/mdf-cli bin/tmgr-demo \
              commonTimerManagerConfig.cmake commonTimerManager.pc man1/mdf-cli.1 \
              doc/commonTimerManager/api/index.html; do
    grep -q "$wanted\$" <<<"$files" || { echo "$deb lacks $wanted" >&2; exit 1; }
    grep -q "$wanted\$" <<<"$archived" || { echo "$archive lacks $wanted" >&2; exit 1; }
done

# Prints those of the package's files that exist on this machine.
present_files() {
    while read -r file; do
        if [ -e "$file" ] || [ -L "$file" ]; then
            echo "$file"
        fi
    done <<<"$files"
}
remove_package() {
    if dpkg -s "$package" >/dev/null 2>&1; then
        $sudo_cmd dpkg --purge "$package" >/dev/null
    fi
}
work=$(mktemp -d)
cleanup() {
    remove_package || echo "check-package: could not remove $package" >&2
    rm -rf "$work"
}
trap cleanup EXIT
unset LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH

# The archive is relocatable: its programs find its libraries wherever it is unpacked. Checked
# before the .deb puts the libraries on the loader's path.
tar -xzf "$archive" -C "$work"
"$work"/commonTimerManager-*/bin/tmgr-demo --help >/dev/null

# A package left behind by an interrupted run is this script's own.
remove_package
clashes=$(present_files)
if [ -n "$clashes" ]; then
    printf 'check-package: already on this machine, not installing over:\n%s\n' "$clashes" >&2
    exit 1
fi

$sudo_cmd dpkg -i "$deb" >/dev/null
consumer=$src/tests/packaging/consumer
cmake -S "$consumer" -B "$work/with-cmake" >/dev/null
cmake --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer"
"$work/with-cmake/managerOnly"
for program in consumer managerOnly; do
    # shellcheck disable=SC2046
    ${CXX:-c++} -std=c++17 -Wl,--as-needed -o "$work/$program" "$consumer/$program.cpp" \
        $(pkg-config --cflags --libs commonTimerManager)
    "$work/$program"
done
tmgr-demo --seconds 1 >/dev/null 2>&1

cleanup
trap - EXIT
left=$(present_files)
if [ -n "$left" ]; then
    printf 'check-package: left behind after removal:\n%s\n' "$left" >&2
    exit 1
fi
echo "check-package: $(basename "$deb") installed, consumers built against /usr and ran, removed"
