# SPDX-License-Identifier: MIT
# Every target of the project compiles with these warnings; HARKWELL_WERROR makes them errors.
add_library(harkwell_warnings INTERFACE)
target_compile_options(harkwell_warnings INTERFACE
  -Wall -Wextra -Wpedantic
  -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(HARKWELL_WERROR)
  target_compile_options(harkwell_warnings INTERFACE -Werror)
endif()
# GCC 12's -O3 flow analysis reports out-of-bounds and overlapping copies inside the standard
# library's own vector and string code that cannot happen (GCC bugs 105329, 105651, 107852).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(harkwell_warnings INTERFACE -Wno-restrict -Wno-array-bounds
                                                     -Wno-stringop-overflow -Wno-stringop-overread)
endif()
