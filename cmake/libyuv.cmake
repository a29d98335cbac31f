# libyuv as the target deskvid_libyuv, on every platform: the system's on
# Linux (Debian's libyuv-dev, which ships no pkg-config file); on Windows our
# static cross-build of Debian's source (cmake/build-libyuv.sh), made once
# per checkout into build-libyuv-mingw/ and shared by its Windows build trees.
add_library(deskvid_libyuv INTERFACE)

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
  find_library(LIBYUV_LIBRARY yuv REQUIRED)
  target_include_directories(deskvid_libyuv SYSTEM INTERFACE ${LIBYUV_INCLUDE_DIR})
  target_link_libraries(deskvid_libyuv INTERFACE ${LIBYUV_LIBRARY})
  return()
endif()

if(NOT CMAKE_TOOLCHAIN_FILE)
  message(FATAL_ERROR "Our libyuv for Windows is cross-built with cmake/mingw-i686.cmake")
endif()
# Built with the tool chain of this build (a relative path is taken as CMake
# takes it: in the build tree first, then in the source tree).
get_filename_component(libyuv_toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
if(NOT EXISTS "${libyuv_toolchain}")
  get_filename_component(libyuv_toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
endif()
set(DESKVID_LIBYUV_CACHE "${PROJECT_SOURCE_DIR}/build-libyuv-mingw" CACHE PATH
  "Where our libyuv for Windows is unpacked, built and installed (shared by build trees)")
set(DESKVID_LIBYUV_PREFIX "${DESKVID_LIBYUV_CACHE}/prefix")

# Runs on every build; returns at once when the cache is up to date.
add_custom_target(deskvid_libyuv_build
  COMMAND "${CMAKE_CURRENT_LIST_DIR}/build-libyuv.sh" "${DESKVID_LIBYUV_CACHE}"
    "${libyuv_toolchain}"
  BYPRODUCTS "${DESKVID_LIBYUV_PREFIX}/lib/libyuv.a"
  USES_TERMINAL
  COMMENT "libyuv: our static build for Windows (built once per checkout)")

target_include_directories(deskvid_libyuv SYSTEM INTERFACE "${DESKVID_LIBYUV_PREFIX}/include")
target_link_libraries(deskvid_libyuv INTERFACE "${DESKVID_LIBYUV_PREFIX}/lib/libyuv.a")
add_dependencies(deskvid_libyuv deskvid_libyuv_build)
