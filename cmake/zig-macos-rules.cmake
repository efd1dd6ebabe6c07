# Read after CMake's rules for Apple's clang (see zig-macos.cmake).
set(CMAKE_C_VERBOSE_FLAG "-v")
set(CMAKE_CXX_VERBOSE_FLAG "-v")
