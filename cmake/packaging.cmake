# Packages made by cpack in the build directory: a .deb for the machine's package manager
# (installed under /usr) and a relocatable .tar.gz. Both hold what `cmake --install` installs:
# the libraries, headers, CMake package, pkg-config file, tools, man pages, completion and
# docs. scripts/check-package.sh builds, installs and removes the .deb.
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "commonTimerManager maintainers <ctm-maintainers@localhost>")
set(CPACK_STRIP_FILES ON)

# Debian names are lower case; the file name follows Debian's name_version_arch pattern.
set(CPACK_DEBIAN_PACKAGE_NAME commontimermanager)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "${PROJECT_DESCRIPTION}\n Per-thread timer managers whose expiries reach the owning thread's dispatcher loop, with the diagnostic command server, mdf-cli and tmgr-demo.")
# Dependencies from the binaries' own needs (libc, libstdc++); the package's libraries are
# found in the package itself. The shlibs file and the ldconfig trigger come with them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/platform)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

include(CPack)
