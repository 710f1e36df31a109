# Toolchain for 32-bit x86 Linux with musl: the clang, libc++ and musl that PyPI's
# ziglang package carries. -DTARNIX_ZIG_PYTHON=... names a Python that has ziglang.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

if(NOT TARNIX_ZIG_PYTHON)
  message(FATAL_ERROR "TARNIX_ZIG_PYTHON must name a Python that has the ziglang package")
endif()
# The compiler checks run in projects of their own, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNIX_ZIG_PYTHON)

# zig's tools are subcommands of one program; CMake wants one program per tool.
function(tarnix_zig_tool name zig_command)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/zig-tool.in" "${CMAKE_BINARY_DIR}/zig-tools/${name}" @ONLY)
endfunction()
tarnix_zig_tool(cc "cc -target x86-linux-musl")
tarnix_zig_tool(c++ "c++ -target x86-linux-musl")
tarnix_zig_tool(ar "ar")
tarnix_zig_tool(ranlib "ranlib")

set(CMAKE_C_COMPILER "${CMAKE_BINARY_DIR}/zig-tools/cc")
set(CMAKE_CXX_COMPILER "${CMAKE_BINARY_DIR}/zig-tools/c++")
set(CMAKE_AR "${CMAKE_BINARY_DIR}/zig-tools/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${CMAKE_BINARY_DIR}/zig-tools/ranlib" CACHE FILEPATH "")
# Made explicit: the tests must run on any x86 Linux, whatever its C library.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Everything comes from zig's own sysroot, never from this machine's glibc.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
