#!/usr/bin/env bash
# installedToolsTest.sh CMAKE BUILD_DIR WORK_DIR
# Installs the build into the prefix WORK_DIR, then checks that man finds both man pages there
# and that bash-completion's on-demand loader finds mdf-cli's completion there (with the
# prefix's share folder in XDG_DATA_DIRS, as /usr/local/share and /usr/share are by default).
set -euo pipefail
cmake_exe=$1 build_dir=$2 work=$3
rm -rf "$work"
"$cmake_exe" --install "$build_dir" --prefix "$work" >/dev/null
for page in mdf-cli tmgr-demo; do
    found=$(MANPATH=$work/share/man man -w "$page")
    if [[ $found != "$work/share/man/man1/$page.1" ]]; then
        echo "man finds '$found' for $page"
        exit 1
    fi
done
XDG_DATA_DIRS=$work/share bash -c 'source /usr/share/bash-completion/bash_completion &&
    __load_completion mdf-cli && [[ $(complete -p mdf-cli) == "complete -F _mdf_cli mdf-cli" ]]' ||
    { echo "bash-completion does not load the completion of mdf-cli from $work/share"; exit 1; }
rm -rf "$work"
