# A real-driver smoke test of the library: one expiry end to end, and the callback socket's
# hardening (owner-only file, close-on-exec descriptor).
ctm_add_test(TimerSmokeTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/smokeTest.cpp)
