# Runtime support and platform services: logger, dispatcher, id allocator, singletons and the
# dispatcher-client base.
ctm_add_test(DbgLogTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dbgLogTest.cpp)
ctm_add_test(DispatcherTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dispatcherTest.cpp)
ctm_add_test(IdAllocatorTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/idAllocatorTest.cpp)
ctm_add_test(SingletonTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/singletonTest.cpp)
