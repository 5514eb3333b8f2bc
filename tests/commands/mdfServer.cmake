# The command server: in-process execution, and the operator socket with mdf-cli end to end.
ctm_add_test(MdfServerTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mdfServerTest.cpp)
target_compile_definitions(MdfServerTest PRIVATE MDF_CLI_PATH="$<TARGET_FILE:mdf-cli>")
add_dependencies(MdfServerTest mdf-cli)
