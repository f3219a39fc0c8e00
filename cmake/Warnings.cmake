# Every target of the project compiles with these warnings, and warnings are errors.
add_library(harkwell_warnings INTERFACE)
target_compile_options(harkwell_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
