# The 64-bit Windows plug-in, tested under 64-bit Wine: an artifact for
# 64-bit hosts, and the test vehicle where the kernel runs no 32-bit
# programs.
set(PELMORA_MINGW x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PELMORA_WINE_BUILD win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
