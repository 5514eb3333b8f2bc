# cmake -DCTM_SOURCE_DIR=... -DCTM_EMBED=subdirectory|fetchcontent -DWORK_DIR=...
#       [-DLAUNCHER=ccache] -P parentProjectTest.cmake
# Configures the parent project in WORK_DIR, builds its consumer (and with it only the library's
# two libraries) and runs it.
file(REMOVE_RECURSE ${WORK_DIR})
set(launcher)
if(LAUNCHER)
    set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/parent -B ${WORK_DIR}
                        -DCTM_SOURCE_DIR=${CTM_SOURCE_DIR} -DCTM_EMBED=${CTM_EMBED} ${launcher}
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR} --target consumer -j 2
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${WORK_DIR}/consumer COMMAND_ERROR_IS_FATAL ANY)
