# Cross-builds the helper for macOS on Linux with Zig's clang, which carries
# macOS's libc headers, libSystem stubs and libc++. Nothing built this way
# can run here; scripts/macos checks what it can of the result.
#
#   cmake -S . -B build-macos/arm64 --toolchain cmake/zig-macos.cmake \
#         -DZIG=/path/to/zig -DZARTO_MACOS_ARCH=arm64      (or x86_64)
set(CMAKE_SYSTEM_NAME Darwin)

set(ZIG zig CACHE FILEPATH "The Zig compiler")
set(ZARTO_MACOS_ARCH arm64 CACHE STRING "arm64 or x86_64")
# 11.0 is the oldest macOS Zig 0.11 targets; the helper itself needs 10.12
# (getentropy).
set(ZARTO_MACOS_MIN 11.0 CACHE STRING "Oldest macOS version the helper runs on")

if(ZARTO_MACOS_ARCH STREQUAL "arm64")
  set(zig_arch aarch64)
elseif(ZARTO_MACOS_ARCH STREQUAL "x86_64")
  set(zig_arch x86_64)
else()
  message(FATAL_ERROR "ZARTO_MACOS_ARCH must be arm64 or x86_64, not ${ZARTO_MACOS_ARCH}")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${ZARTO_MACOS_ARCH})
# try_compile projects read the toolchain again and need the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG ZARTO_MACOS_ARCH ZARTO_MACOS_MIN)

# The minimum version is part of the target, which Zig turns into the
# binary's LC_BUILD_VERSION.
set(zig_target ${zig_arch}-macos.${ZARTO_MACOS_MIN})
set(CMAKE_C_COMPILER ${ZIG} cc)
set(CMAKE_CXX_COMPILER ${ZIG} c++)
set(CMAKE_C_COMPILER_TARGET ${zig_target})
set(CMAKE_CXX_COMPILER_TARGET ${zig_target})
# LLVM's archiver writes Mach-O archives with their symbol tables.
find_program(CMAKE_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-14 llvm-ranlib REQUIRED)

# No Xcode here: don't look for an SDK or an architecture list of its own.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# CMake asks Apple's linker for verbose output ("-Wl,-v") while it learns the
# compiler's ABI; Zig's linker refuses the flag, and the pointer size and
# library folders would stay unknown.
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake)
