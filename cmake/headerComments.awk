# Input filter of the API reference: turns the public headers' plain // comments into
# documentation comments, so the headers keep the house style and doxygen reads every contract.
#   - The comment block that opens a file documents the file.
#   - A comment on lines of its own documents the declaration that follows it.
#   - A comment after a declaration ending in ; or , documents that member or enumerator.
# Other comments (after a closing brace, say) stay plain.
BEGIN { opening = 1 }

opening && /^\/\// {
    if (opening == 1) {
        print "/// \\file"
        opening = 2
    }
    sub(/^\/\//, "///")
    print
    next
}

{ opening = 0 }

/^[ \t]*\/\/([^\/]|$)/ {
    sub(/\/\//, "///")
    print
    next
}

/^[ \t]*[^} \t].*[;,][ \t]*\/\/([^\/]|$)/ {
    sub(/[ \t]*\/\//, "  ///<")
    print
    next
}

{ print }
