# Cross build for 32-bit Windows with Debian's mingw-w64 (win32 thread model,
# so nothing pulls in winpthread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(PRN_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${PRN_MINGW_PREFIX}-gcc-win32 ${PRN_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PRN_MINGW_PREFIX}-g++-win32 ${PRN_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PRN_MINGW_PREFIX}-windres)
find_program(PRN_OBJDUMP NAMES ${PRN_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${PRN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The kernel headers of mingw-w64 live beside the user-mode ones.
set(PRN_MINGW_DDK_INCLUDE /usr/share/mingw-w64/include/ddk CACHE PATH "mingw-w64 DDK headers")
