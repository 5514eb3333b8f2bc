#!/usr/bin/env bash
# helpAgreesWithManPage.sh PROGRAM PAGE
# The program's --help and its man page give the same synopsis and the same options.
set -euo pipefail
program=$1 page=$2
help=$("$program" --help)

# Lines of one section of the rendered page, blanks squeezed.
section() {
    MANWIDTH=200 man -E ascii -l "$page" 2>/dev/null | col -bx |
        awk -v name="$1" '/^[A-Z]/ { on = ($0 == name); next } on' | squeeze
}
squeeze() { sed -E 's/^[[:space:]]+//; s/[[:space:]]+/ /g; /^$/d'; }
# The option words of tag texts, one per line, sorted.
option_words() { grep -oE -- '(^|[ ,"])-{1,2}[A-Za-z-]*' | sed -E 's/^[ ,"]//' | sort -u; }

help_synopsis=$(sed -nE 's/^usage: //p; /^ {7}[^ ]/p' <<<"$help" | squeeze)
# --help tags: the "  -x ARG" part of "  -x ARG    text".
help_options=$(sed -nE 's/^  (-([^ ]| [^ ])*) {2,}.*/\1/p' <<<"$help" |
    option_words)
# Man page tags: the line after each .TP of the OPTIONS section, "\-" read as "-".
man_options=$(awk '/^\.SH/ { on = ($2 == "OPTIONS") } on && tag { print; tag = 0 }
                   on && /^\.TP/ { tag = 1 }' "$page" | sed 's/\\-/-/g' | option_words)

status=0
if [[ $help_synopsis != "$(section SYNOPSIS)" ]]; then
    printf 'synopsis differs:\n--help:\n%s\nman page:\n%s\n' "$help_synopsis" "$(section SYNOPSIS)"
    status=1
fi
if [[ -z $help_options || $help_options != "$man_options" ]]; then
    printf 'options differ:\n--help: %s\nman page: %s\n' "$(echo $help_options)" "$(echo $man_options)"
    status=1
fi
exit $status
