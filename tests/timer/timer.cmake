# The timer service's tests: one executable per concern. The clock-sync tests replace
# gettimeofday in their executable; the real-driver tests run without the fake (the restart
# tests run their real-driver cases without it too).
foreach(unit TimerEntry ClockSync TimerTable ManagerLifecycle RealDriver Restart)
    string(SUBSTRING ${unit} 0 1 first)
    string(TOLOWER ${first} first)
    string(SUBSTRING ${unit} 1 -1 rest)
    ctm_add_test(${unit}Test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${first}${rest}Test.cpp)
endforeach()
ctm_add_test(UserLevelTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/userLevelTest.cpp LABELS heavy)
