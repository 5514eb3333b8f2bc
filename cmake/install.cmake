# Installs the libraries, the public headers (one flat folder), the CMake package
# commonTimerManager (target cmn::commonTimerManager), commonTimerManager.pc and the docs
# (share/doc/commonTimerManager, with the API reference under api/ when CTM_BUILD_APIDOC is on).
# The tools install themselves with their man pages and completion (tools/*).
include(CMakePackageConfigHelpers)

install(TARGETS commonTimerManager commonTimerPlatform
        EXPORT commonTimerManagerTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CTM_INSTALL_INCLUDEDIR})
install(FILES ${CTM_PUBLIC_HEADERS} DESTINATION ${CTM_INSTALL_INCLUDEDIR})

set(CTM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/commonTimerManager)
install(EXPORT commonTimerManagerTargets NAMESPACE cmn:: DESTINATION ${CTM_CMAKE_DIR})
configure_package_config_file(cmake/commonTimerManagerConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/commonTimerManagerConfig.cmake
                              INSTALL_DESTINATION ${CTM_CMAKE_DIR})
# Before 1.0 a minor release may change the interface, so a request for 0.1 accepts 0.1.x only.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/commonTimerManagerConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/commonTimerManagerConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/commonTimerManagerConfigVersion.cmake
        DESTINATION ${CTM_CMAKE_DIR})

# The .pc file finds its prefix from its own location, so a relocated install still works.
file(RELATIVE_PATH CTM_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/commonTimerManager.pc.in ${CMAKE_CURRENT_BINARY_DIR}/commonTimerManager.pc
               @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/commonTimerManager.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

file(GLOB CTM_DOC_PAGES ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CTM_DOC_PAGES}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(CTM_BUILD_APIDOC)
    install(DIRECTORY ${CTM_APIDOC_DIR}/html/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/api)
endif()
