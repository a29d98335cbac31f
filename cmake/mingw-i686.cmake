# Cross-builds the 32-bit Windows DLL and its tests with mingw-w64 (i686).
# The -posix compilers provide std::thread and std::mutex (winpthread).
# Everything links libgcc, libstdc++ and winpthread statically, so the DLL
# and the test programs need only system DLLs. Tests run under Wine through
# the wrapper below (a 32-bit prefix under the build tree).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(DESKVID_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${DESKVID_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DESKVID_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DESKVID_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${DESKVID_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${DESKVID_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
