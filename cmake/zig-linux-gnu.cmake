# Toolchain for the portable Linux wheels: the clang and libc++ that PyPI's ziglang package
# carries, linked against the symbol set of an older glibc (zig ships the stubs of each
# release), so the module loads on that glibc and every newer one whatever machine built
# it. -DTARNIX_ZIG_TARGET=x86_64-linux-gnu.2.28 (or x86-linux-gnu.2.28 for 32-bit x86)
# picks it; -DTARNIX_ZIG_PYTHON=... names a Python that has ziglang.
if(NOT TARNIX_ZIG_PYTHON)
  message(FATAL_ERROR "TARNIX_ZIG_PYTHON must name a Python that has the ziglang package")
endif()
if(NOT TARNIX_ZIG_TARGET MATCHES "^(x86_64|x86)-linux-gnu\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "TARNIX_ZIG_TARGET must be x86_64-linux-gnu.2.NN or x86-linux-gnu.2.NN")
endif()
# The compiler checks run in projects of their own, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNIX_ZIG_PYTHON TARNIX_ZIG_TARGET)

# zig's tools are subcommands of one program; CMake wants one program per tool.
function(tarnix_zig_tool name zig_command)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/zig-tool.in" "${CMAKE_BINARY_DIR}/zig-tools/${name}" @ONLY)
endfunction()
tarnix_zig_tool(cc "cc -target ${TARNIX_ZIG_TARGET}")
tarnix_zig_tool(c++ "c++ -target ${TARNIX_ZIG_TARGET}")
tarnix_zig_tool(ar "ar")
tarnix_zig_tool(ranlib "ranlib")

set(CMAKE_C_COMPILER "${CMAKE_BINARY_DIR}/zig-tools/cc")
set(CMAKE_CXX_COMPILER "${CMAKE_BINARY_DIR}/zig-tools/c++")
set(CMAKE_AR "${CMAKE_BINARY_DIR}/zig-tools/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${CMAKE_BINARY_DIR}/zig-tools/ranlib" CACHE FILEPATH "")
