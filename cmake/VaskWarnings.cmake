# Warnings every target of ours builds with. The sanitizer build, which CI runs, makes them errors
# (VASK_WARNINGS_AS_ERRORS); headers of other projects come in as system headers and stay quiet.
option(VASK_WARNINGS_AS_ERRORS "Fail the build on a warning in Vask's own code" OFF)

function(vask_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                             -Wold-style-cast -Woverloaded-virtual)
    if(VASK_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    # With optimisation, GCC 12 reports values held in std::optional and std::variant inside
    # initializer lists as maybe uninitialised when they are not (its known false positives);
    # the unoptimised sanitizer build keeps the warning.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
        target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
        # GCC 12 with optimisation reports "lit" + std::string (libstdc++'s operator+ putting the
        # literal in front of a temporary) as a memcpy of exabytes onto itself (GCC bug 105329).
        # The warning is off for GCC 12 alone; other versions keep it.
        if(CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12 AND
           CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
            target_compile_options(${target} PRIVATE -Wno-restrict)
        endif()
    endif()
endfunction()
