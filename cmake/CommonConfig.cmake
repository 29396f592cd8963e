# Flags every target of the project shares.
add_library(brindlewick_common_flags INTERFACE)
target_compile_options(brindlewick_common_flags INTERFACE
    -Wall -Wextra -pedantic
    $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
target_compile_definitions(brindlewick_common_flags INTERFACE
    BOOST_ASIO_NO_DEPRECATED)

# BRINDLEWICK_SANITIZE=thread or address builds everything we compile with that
# sanitizer; the code generators of the build (moc, uic, rcc) stay untouched.
set(BRINDLEWICK_SANITIZE "" CACHE STRING "Sanitizer to build with: thread, address or empty")
if(BRINDLEWICK_SANITIZE STREQUAL "thread")
    target_compile_options(brindlewick_common_flags INTERFACE -fsanitize=thread -g -O1)
    target_link_options(brindlewick_common_flags INTERFACE -fsanitize=thread)
elseif(BRINDLEWICK_SANITIZE STREQUAL "address")
    target_compile_options(brindlewick_common_flags INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -g -O1)
    target_link_options(brindlewick_common_flags INTERFACE -fsanitize=address,undefined)
elseif(NOT BRINDLEWICK_SANITIZE STREQUAL "")
    message(FATAL_ERROR "BRINDLEWICK_SANITIZE must be thread, address or empty")
endif()
