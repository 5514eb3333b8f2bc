# The command server: in-process execution, and the operator socket with mdf-cli end to end.
ctm_add_test(MdfServerTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mdfServerTest.cpp)
ctm_add_test(OperatorSocketTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/operatorSocketTest.cpp)
target_compile_definitions(OperatorSocketTest PRIVATE MDF_CLI_PATH="$<TARGET_FILE:mdf-cli>")
add_dependencies(OperatorSocketTest mdf-cli)
