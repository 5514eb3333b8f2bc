# The real timer driver behind ptimers.h; the clock-step cases interpose the clock and timerfd
# calls with the reliability tests' syscallFaults.cpp.
ctm_add_test(PtimersTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ptimersTest.cpp)
ctm_add_test(PtimersClockTest
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ptimersClockTest.cpp
                     ${CMAKE_CURRENT_SOURCE_DIR}/../reliability/syscallFaults.cpp
             LIBS dl)
target_include_directories(PtimersClockTest PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../reliability)
