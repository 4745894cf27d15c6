# 64-bit Windows through mingw-w64 (POSIX thread model: std::thread and friends are available),
# with the programs run under Wine whenever CMake or CTest needs to execute one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NVX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NVX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NVX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NVX_MINGW_TRIPLE}-windres)

# Static liblzma and GoogleTest built by scripts/setup.sh.
if(DEFINED ENV{NVX_DEPS_PREFIX})
  set(_nvx_deps_default "$ENV{NVX_DEPS_PREFIX}")
else()
  set(_nvx_deps_default /opt/nvx-deps/mingw)
endif()
set(NVX_DEPS_PREFIX "${_nvx_deps_default}" CACHE PATH "Prefix holding the mingw builds of liblzma and GoogleTest")

set(CMAKE_FIND_ROOT_PATH /usr/${NVX_MINGW_TRIPLE} ${NVX_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
