# The MinGW-w64 cross build shared by both Windows toolchains: the caller
# sets PELMORA_MINGW (the target triplet), CMAKE_SYSTEM_PROCESSOR and
# PELMORA_WINE_BUILD (the Wine that runs what it builds). Posix threads, so
# the core's std::thread and std::mutex work; ctest runs the Windows
# programs through scripts/wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PELMORA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELMORA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${PELMORA_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PELMORA_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh ${PELMORA_WINE_BUILD})
