# AddressSanitizer and UndefinedBehaviorSanitizer for the whole tree; CI builds this way.
if(VASK_SANITIZE)
    set(_vask_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_compile_options(${_vask_san})
    add_link_options(-fsanitize=address,undefined)
endif()
