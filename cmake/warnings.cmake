# Warnings for the project's own targets; errors when CTM_WERROR is on (every preset and CI).
set(CTM_WARNING_FLAGS -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wcast-qual -Wformat=2 -Wundef
                      -Wvla)
# Tests use GoogleTest macros that trip a few of the strict flags.
set(CTM_TEST_WARNING_FLAGS -Wall -Wextra -Wformat=2 -Wvla)

function(ctm_set_warnings target)
    target_compile_options(${target} PRIVATE ${CTM_WARNING_FLAGS})
    if(CTM_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

function(ctm_set_test_warnings target)
    target_compile_options(${target} PRIVATE ${CTM_TEST_WARNING_FLAGS})
    if(CTM_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
