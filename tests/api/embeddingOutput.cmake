# Runs an embedding example (-DEXAMPLE=path) and checks what it printed: the three cmn::Timer
# lines in deadline order, the foreign loop's own timer line once, and every expiry on the
# loop's thread. The foreign line may come anywhere among the others.
execute_process(COMMAND ${EXAMPLE} OUTPUT_VARIABLE output ERROR_VARIABLE errors
                RESULT_VARIABLE status TIMEOUT 30)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${EXAMPLE} ended with ${status}:\n${output}${errors}")
endif()
string(REGEX MATCHALL "cmn::Timer [0-9]+ ms" timers "${output}")
if(NOT timers STREQUAL "cmn::Timer 100 ms;cmn::Timer 400 ms;cmn::Timer 700 ms")
    message(FATAL_ERROR "cmn::Timer expiries out of order or missing:\n${output}")
endif()
string(REGEX MATCHALL "(asio::steady_timer|uv_timer_t) 250 ms" own "${output}")
list(LENGTH own ownCount)
if(NOT ownCount EQUAL 1)
    message(FATAL_ERROR "the foreign loop's own timer fired ${ownCount} times:\n${output}")
endif()
string(REGEX MATCHALL "on the loop's thread: yes\n" onLoop "${output}")
list(LENGTH onLoop onLoopCount)
if(NOT onLoopCount EQUAL 4)
    message(FATAL_ERROR "an expiry came on another thread:\n${output}")
endif()
message(STATUS "${output}")
