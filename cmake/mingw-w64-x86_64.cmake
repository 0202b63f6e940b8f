# 64-bit Windows console build. Its loader is found by itself: /usr/bin/wine
# picks the 32-bit one whenever that is installed.
set(mingw_triplet x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
find_program(wine_loader wine64 PATHS /usr/lib/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
