# The 64-bit build of the Windows program (see toolchain-mingw.cmake).
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
