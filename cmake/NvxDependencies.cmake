# Imported targets for the third-party libraries, all static:
#   nvx::lzma        liblzma (LZMA_API_STATIC, so lzma.h declares no dllimport)
#   nvx::gtest       GoogleTest
#   nvx::gtest_main  GoogleTest's main()
#   nvx::gmock       GoogleMock
#   nvx::gmock_main  GoogleMock's main()
# They are found through CMAKE_FIND_ROOT_PATH (the toolchain adds NVX_DEPS_PREFIX).
include_guard(GLOBAL)

function(_nvx_import_static target library header)
  string(MAKE_C_IDENTIFIER "NVX_${library}_LIBRARY" lib_var)
  string(MAKE_C_IDENTIFIER "NVX_${library}_INCLUDE_DIR" inc_var)
  find_library(${lib_var} NAMES lib${library}.a ${library})
  find_path(${inc_var} NAMES ${header})
  if(NOT ${lib_var} OR NOT ${inc_var})
    message(FATAL_ERROR
      "${library} (static, for ${CMAKE_SYSTEM_NAME}) was not found under '${CMAKE_FIND_ROOT_PATH}'.\n"
      "Run scripts/setup.sh, which builds it into ${NVX_DEPS_PREFIX}.")
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${${lib_var}}"
    INTERFACE_INCLUDE_DIRECTORIES "${${inc_var}}")
endfunction()

_nvx_import_static(nvx::lzma lzma lzma.h)
set_property(TARGET nvx::lzma PROPERTY INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)

_nvx_import_static(nvx::gtest gtest gtest/gtest.h)
_nvx_import_static(nvx::gtest_main gtest_main gtest/gtest.h)
_nvx_import_static(nvx::gmock gmock gmock/gmock.h)
_nvx_import_static(nvx::gmock_main gmock_main gmock/gmock.h)
set_property(TARGET nvx::gtest_main PROPERTY INTERFACE_LINK_LIBRARIES nvx::gtest)
set_property(TARGET nvx::gmock PROPERTY INTERFACE_LINK_LIBRARIES nvx::gtest)
set_property(TARGET nvx::gmock_main PROPERTY INTERFACE_LINK_LIBRARIES nvx::gmock)
