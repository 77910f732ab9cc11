# AddressSanitizer and UndefinedBehaviorSanitizer for the whole tree; CI builds this way.
# ThreadSanitizer instead (the `tsan` preset) for the thread checks: the runtimes exclude each
# other in one process.
option(VASK_THREAD_SANITIZER "Build with ThreadSanitizer" OFF)
if(VASK_SANITIZE AND VASK_THREAD_SANITIZER)
    message(FATAL_ERROR "VASK_SANITIZE and VASK_THREAD_SANITIZER cannot be used together")
endif()
if(VASK_SANITIZE)
    set(_vask_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_compile_options(${_vask_san})
    add_link_options(-fsanitize=address,undefined)
elseif(VASK_THREAD_SANITIZER)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()
