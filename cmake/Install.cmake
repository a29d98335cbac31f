# What `cmake --install` puts in place for host authors, and the packages
# CPack makes of it: a .deb on Linux, a zip on Windows.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT TARGET deskvid)
  return()
endif()

set_target_properties(deskvid PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

install(TARGETS deskvid EXPORT deskvidTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/plugin/deskvid/deskvid.h
  ${PROJECT_SOURCE_DIR}/plugin/deskvid/deskvid_status.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/deskvid)

if(TARGET deskvid-record)
  install(TARGETS deskvid-record RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(WIN32)
  # Hosts built with other tool chains make their import library from this.
  install(FILES ${PROJECT_SOURCE_DIR}/plugin/deskvid.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # What the LGPL asks for the FFmpeg inside the DLL (its licence, its source,
  # how to relink), and libyuv's notice. Files not there are left out (an
  # FFmpeg from DESKVID_FFMPEG_PREFIX brings none); tests/install/check-zip.sh
  # holds our own build's zip to having them all.
  set(doc ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/windows-third-party.txt DESTINATION ${doc}
    RENAME THIRD-PARTY.txt)
  install(FILES ${DESKVID_FFMPEG_CACHE}/src/COPYING.LGPLv2.1 DESTINATION ${doc}/ffmpeg OPTIONAL)
  install(FILES ${DESKVID_FFMPEG_CACHE}/version DESTINATION ${doc}/ffmpeg RENAME VERSION OPTIONAL)
  install(FILES ${DESKVID_LIBYUV_PREFIX}/share/libyuv/LICENSE
    ${DESKVID_LIBYUV_PREFIX}/share/libyuv/PATENTS DESTINATION ${doc}/libyuv OPTIONAL)
  install(FILES ${DESKVID_LIBYUV_CACHE}/version DESTINATION ${doc}/libyuv RENAME VERSION OPTIONAL)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/examples/host.c DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  file(RELATIVE_PATH DESKVID_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/deskvid.pc.in ${PROJECT_BINARY_DIR}/deskvid.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/deskvid.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  # find_package(deskvid) gives deskvid::deskvid: the header path, and the
  # library for hosts that prefer linking to loading.
  set(DESKVID_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/deskvid)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/deskvidConfig.cmake.in
    ${PROJECT_BINARY_DIR}/deskvidConfig.cmake INSTALL_DESTINATION ${DESKVID_CMAKE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/deskvidConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/deskvidConfig.cmake
    ${PROJECT_BINARY_DIR}/deskvidConfigVersion.cmake DESTINATION ${DESKVID_CMAKE_DIR})
  install(EXPORT deskvidTargets NAMESPACE deskvid:: DESTINATION ${DESKVID_CMAKE_DIR})
endif()

set(CPACK_PACKAGE_NAME deskvid)
set(CPACK_PACKAGE_VENDOR "deskvid developers")
set(CPACK_PACKAGE_CONTACT "deskvid developers <dev@deskvid.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Screen-recording plug-in library (Windows Media files)")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME deskvid-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # dpkg-shlibdeps works out the FFmpeg, libyuv and C++ runtime packages.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Screen-recording plug-in library\n A host loads libdeskvid.so, creates capture instances and drives\n them with start, pause and stop; each records the whole screen and\n the default audio input into a Windows Media (ASF) file. Includes\n the headers, pkg-config and CMake package files, and deskvid-record.")
endif()
include(CPack)
