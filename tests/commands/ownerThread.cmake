# Commands running on their handler's owner thread, from other threads and the operator socket.
ctm_add_test(OwnerThreadTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ownerThreadTest.cpp)
