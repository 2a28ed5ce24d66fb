# Warning and sanitizer settings shared by every target of the project.

function(kelvo_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local
                           -Wnon-virtual-dtor -Wold-style-cast -Wcast-align)
    if(KELVO_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

if(KELVO_SANITIZE)
    add_compile_options(-fsanitize=${KELVO_SANITIZE} -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${KELVO_SANITIZE})
endif()

# Lets the logging library name a record's source relative to the project ("Driver\FSDriver").
add_compile_definitions(KELVO_SOURCE_ROOT="${CMAKE_SOURCE_DIR}/")
