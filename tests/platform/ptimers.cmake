# The real timer driver behind ptimers.h.
ctm_add_test(PtimersTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ptimersTest.cpp)
