# Cross build for 32-bit Windows (the product: PE32, i386) with Debian's MinGW-w64.
#
# The compilers' win32 thread model is preferred: nothing here needs the C++
# standard library's threads (the library uses critical sections, the
# simulator its own Win32 wrappers), and it keeps winpthread out of the link.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TELVO_MINGW_TRIPLE i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TELVO_MINGW_TRIPLE}-gcc-win32 ${TELVO_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TELVO_MINGW_TRIPLE}-g++-win32 ${TELVO_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TELVO_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${TELVO_MINGW_TRIPLE}-gcc-ar-win32 ${TELVO_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${TELVO_MINGW_TRIPLE}-gcc-ranlib-win32 ${TELVO_MINGW_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${TELVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
