add_library(telvo_warnings INTERFACE)
if(MSVC)
    target_compile_options(telvo_warnings INTERFACE /W4 /permissive- /utf-8)
    if(TELVO_WERROR)
        target_compile_options(telvo_warnings INTERFACE /WX)
    endif()
else()
    target_compile_options(telvo_warnings INTERFACE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
        -Wnon-virtual-dtor -Woverloaded-virtual -Wimplicit-fallthrough)
    if(TELVO_WERROR)
        target_compile_options(telvo_warnings INTERFACE -Werror)
    endif()
endif()
