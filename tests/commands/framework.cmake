# The command handler framework (handler, command set, descriptor) on a target of the test's own.
ctm_add_test(CommandFrameworkTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/commandFrameworkTest.cpp)
