# One place for the warning flags every target of ours gets.
add_library(tarnivale_warnings INTERFACE)
target_compile_options(tarnivale_warnings INTERFACE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor>
    $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic>)
