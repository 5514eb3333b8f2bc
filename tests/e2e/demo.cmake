# tmgr-demo as a child process, steered with mdf-cli and raw connections.
ctm_add_test(DemoEndToEndTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demoEndToEndTest.cpp
             LABELS heavy)
target_compile_definitions(DemoEndToEndTest PRIVATE MDF_CLI_PATH="$<TARGET_FILE:mdf-cli>"
                                                    TMGR_DEMO_PATH="$<TARGET_FILE:tmgr-demo>")
add_dependencies(DemoEndToEndTest mdf-cli tmgr-demo)
