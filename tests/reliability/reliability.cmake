# Reliability and security: bursts and back-pressure, exhaustion and a memory soak, injected
# faults, threads, the callback socket's hardening, and the process's exit and fork.
# syscallFaults.cpp replaces a few C library calls in the executables that link it.
set(ctm_faults ${CMAKE_CURRENT_SOURCE_DIR}/syscallFaults.cpp)

ctm_add_test(BurstTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/burstTest.cpp ${ctm_faults}
             LIBS dl LABELS heavy)
ctm_add_test(ExhaustionTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/exhaustionTest.cpp LABELS heavy)
ctm_add_test(FaultTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/faultTest.cpp ${ctm_faults} LIBS dl)
ctm_add_test(ThreadsTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/threadsTest.cpp)
ctm_add_test(SecurityTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/securityTest.cpp ${ctm_faults}
             LIBS dl)

# A process that owns a manager on its main thread and ends in the way its argument names.
add_executable(ctmExitHelper ${CMAKE_CURRENT_SOURCE_DIR}/exitHelper.cpp)
target_link_libraries(ctmExitHelper PRIVATE commonTimerManager)
ctm_set_test_warnings(ctmExitHelper)
ctm_add_test(ProcessLifeTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/processLifeTest.cpp)
target_compile_definitions(ProcessLifeTest PRIVATE CTM_EXIT_HELPER="$<TARGET_FILE:ctmExitHelper>")
add_dependencies(ProcessLifeTest ctmExitHelper)
ctm_add_test(FairnessTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fairnessTest.cpp)
