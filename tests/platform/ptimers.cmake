# The real timer driver behind ptimers.h; the clock-step cases interpose the clock and timerfd
# calls with the reliability tests' syscallFaults.cpp.
ctm_add_test(PtimersTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ptimersTest.cpp)
ctm_add_test(PtimersClockTest
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ptimersClockTest.cpp
                     ${CMAKE_CURRENT_SOURCE_DIR}/../reliability/syscallFaults.cpp
             LIBS dl)
target_include_directories(PtimersClockTest PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../reliability)
# The real clock-step case steps the system clock when it may (as root), so no other test runs
# beside it. Its ctest test exists only once ctest has run the discovery, so a file that ctest
# includes after the discovery's own sets the property.
set(ctm_real_step_properties ${CMAKE_CURRENT_BINARY_DIR}/ptimersRealStepProperties.cmake)
file(WRITE ${ctm_real_step_properties}
     "set_tests_properties(PtimersClockTest.RealStepsLeaveArmingWorkingAndNothingEarly\n"
     "                     PROPERTIES RUN_SERIAL TRUE)\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${ctm_real_step_properties})
