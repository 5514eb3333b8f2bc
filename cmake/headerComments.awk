# Input filter of the API reference. Doxygen reads only its own comment markers; the public
# headers use plain // comments (the house style). As doxygen reads a header, this filter makes
#   - the comment block that opens the file the file's documentation;
#   - a comment on lines of its own, outside function bodies, the documentation of the
#     declaration that follows it.
# Comments inside function bodies stay plain. Lines are neither added nor removed, so doxygen's
# line numbers are the header's.

# Follows the braces of a line of code: a class, struct, union, enum or namespace opens a scope
# of declarations, anything else a body.
function trackBraces(line,    kind, i, c) {
    kind = "body"
    if (line ~ /^[ \t]*((template|typedef)[^{]*)?(class|struct|union|enum|namespace)([ \t]|$)/) {
        kind = "scope"
    }
    for (i = 1; i <= length(line); i++) {
        c = substr(line, i, 1)
        if (c == "{") {
            stack[++depth] = kind
            bodies += (kind == "body")
        } else if (c == "}" && depth > 0) {
            bodies -= (stack[depth] == "body")
            depth--
        }
    }
}

BEGIN {
    opening = 1
}

# The opening block is held back a line so that its last line can carry the \file command.
opening && /^\/\// {
    if (held != "") {
        print held
    }
    held = $0
    sub(/^\/\//, "///", held)
    next
}

opening {
    opening = 0
    if (held != "") {
        print held " \\file"
    }
}

/^[ \t]*\/\/([^\/]|$)/ && bodies == 0 {
    sub(/\/\//, "///")
    print
    next
}

{
    print
    trackBraces($0)
}
