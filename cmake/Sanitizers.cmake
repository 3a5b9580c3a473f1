# Applied globally so that every target of one build folder (library, SDK stand-in,
# tests) shares one sanitizer runtime.
if(TIDEWIRE_SANITIZER STREQUAL "asan")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(TIDEWIRE_SANITIZER STREQUAL "tsan")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    # The thread sanitizer does not model standalone fences, which asio uses around
    # handler upcalls; its scheduler's mutex already orders those accesses.
    add_compile_definitions(ASIO_DISABLE_FENCED_BLOCK)
    add_link_options(-fsanitize=thread)
elseif(NOT TIDEWIRE_SANITIZER STREQUAL "none")
    message(FATAL_ERROR "TIDEWIRE_SANITIZER must be none, asan or tsan")
endif()

# libFuzzer steers by coverage, so the library (not only the fuzz targets) is instrumented.
# The coverage hooks come from the sanitizer runtime of the asan configuration.
if(TIDEWIRE_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
