# Cross build for 64-bit Windows with MinGW-w64 (posix thread model for std::thread/std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KQD_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${KQD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KQD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KQD_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KQD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs the Windows executables under Wine. The project replaces this with a
# wrapper bound to its own prefix; this default serves a standalone use of the file.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
