# The 32-bit Windows plug-in, the real target, tested under 32-bit Wine.
set(PELMORA_MINGW i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELMORA_WINE_BUILD win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
