# One interface target carries the project's warning set, so every target of ours gets the same
# flags and third-party code (included as SYSTEM) gets none of them.
add_library(quillfern_warnings INTERFACE)
target_compile_options(quillfern_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor -Woverloaded-virtual
  -Wimplicit-fallthrough)
if(QUILLFERN_WERROR)
  target_compile_options(quillfern_warnings INTERFACE -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread")
  # GCC 12 warns that ThreadSanitizer cannot see the fences inside Asio; the warning says
  # nothing about our code.
  target_compile_options(quillfern_warnings INTERFACE -Wno-tsan)
endif()
