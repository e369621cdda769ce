# libFuzzer builds (`make test-fuzz`): clang's coverage instrumentation on everything compiled, so that the
# fuzzers in tests/fuzz/ see the library's branches. Combine with TARNIVALE_SANITIZE=address.
if(TARNIVALE_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "TARNIVALE_FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
    endif()
    if(NOT TARNIVALE_BUILD_TESTS)
        message(FATAL_ERROR "TARNIVALE_FUZZ needs TARNIVALE_BUILD_TESTS (the fuzzers live in tests/fuzz)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
