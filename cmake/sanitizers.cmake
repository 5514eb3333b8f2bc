# CTM_SANITIZE: "address,undefined" or "thread"; applied to every target of the build.
set(CTM_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined | thread)")
if(CTM_SANITIZE)
    add_compile_options(-fsanitize=${CTM_SANITIZE} -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${CTM_SANITIZE})
endif()
