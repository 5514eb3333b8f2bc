# Hostile clients of the operator socket: huge lines and binary bytes here; bursts, silent
# clients, clients that never read (each waits out the 5 s idle limit) and a trickling client
# (the 10 s connection limit) in the heavy build.
ctm_add_test(HostileClientTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hostileClientTest.cpp)
target_compile_definitions(HostileClientTest PRIVATE CTM_HOSTILE_HEAVY=0)
ctm_add_test(HostileClientHeavyTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/hostileClientTest.cpp
             LABELS heavy)
target_compile_definitions(HostileClientHeavyTest PRIVATE CTM_HOSTILE_HEAVY=1)
