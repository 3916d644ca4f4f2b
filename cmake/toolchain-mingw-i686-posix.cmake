# Cross build of the 32-bit Windows host tool with MinGW-w64's posix thread
# model: the operator's station (telvo serve) needs the C++ library's
# threads (Beast's WebSocket takes a std::mutex), which the win32 model
# lacks. The tool is linked statically (winpthread included); the product
# DLL keeps the win32 model (toolchain-mingw-i686.cmake) and is the one the
# tool loads beside it: the two share only the C interface of telvo.h.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TELVO_MINGW_TRIPLE i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TELVO_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TELVO_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TELVO_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${TELVO_MINGW_TRIPLE}-gcc-ar-posix ${TELVO_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${TELVO_MINGW_TRIPLE}-gcc-ranlib-posix ${TELVO_MINGW_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${TELVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
