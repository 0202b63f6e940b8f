# 32-bit Windows console build, run under Wine's 32-bit loader.
set(mingw_triplet i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
find_program(wine_loader wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
