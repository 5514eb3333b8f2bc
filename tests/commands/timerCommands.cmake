# The timer manager's diagnostic commands, through the in-process command server.
ctm_add_test(TimerCommandsTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/timerCommandsTest.cpp)
