# How the project's binaries link and find each other once installed.
#
# Run paths: an installed library finds its sibling libraries through $ORIGIN, and an installed
# program finds the libraries through $ORIGIN/<bin-to-lib>, so an install into any prefix, or
# the .tar.gz unpacked anywhere, needs no LD_LIBRARY_PATH. A program linked with --as-needed
# records only the libraries it calls directly; libcommonTimerManager then finds
# libcommonTimerPlatform through its own run path. Binaries in the build tree keep CMake's
# build run paths.
file(RELATIVE_PATH CTM_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(CMAKE_INSTALL_RPATH "$ORIGIN/${CTM_BIN_TO_LIB}")

# ctm_set_library_linking(target): the installed run path of a shared library of the project,
# and, outside sanitizer builds (whose runtimes resolve symbols from the program), a link that
# fails on any symbol the library's own dependencies do not define.
function(ctm_set_library_linking target)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
    if(NOT CTM_SANITIZE)
        target_link_options(${target} PRIVATE LINKER:--no-undefined)
    endif()
endfunction()
