# Cross-compiles the Windows program with mingw-w64. The program ships as a 32-bit x86 build;
# cmake/toolchain-mingw64.cmake sets MINGW_ARCH to x86_64 for a 64-bit build of the same sources,
# which the tests use on hosts that cannot run 32-bit code.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT MINGW_ARCH)
    set(MINGW_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_ARCH})

set(TOOL_PREFIX ${MINGW_ARCH}-w64-mingw32)
# The win32 thread model: the posix one links winpthreads, whose timeouts and thread naming
# import GetTickCount64 (Vista) and AddVectoredExceptionHandler (XP), so the loader of Windows
# 2000 or XP would refuse the exe before its first line. The program starts its threads with
# CreateThread and uses no C++ thread library, so it loses nothing.
find_program(CMAKE_C_COMPILER NAMES ${TOOL_PREFIX}-gcc-win32 ${TOOL_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TOOL_PREFIX}-g++-win32 ${TOOL_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TOOL_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
