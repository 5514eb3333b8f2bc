# The dispatcher beyond its basic rounds: the hand-over between threads and the loop descriptor.
ctm_add_test(DispatcherPostTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dispatcherPostTest.cpp)
