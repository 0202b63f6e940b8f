# Windows console builds with Debian's MinGW-w64 cross compilers, shared by
# the toolchain files of each target, which set mingw_triplet,
# CMAKE_SYSTEM_PROCESSOR and wine_loader (the Wine that runs the build) first.
#
# MINGW_THREAD_MODEL picks the compilers. win32, the default, needs nothing
# newer than Windows XP: the shipped programs use it. posix links in
# winpthreads, which needs Vista, but gives std::mutex, which GoogleTest
# needs: the test builds use it.
set(CMAKE_SYSTEM_NAME Windows)

if(NOT MINGW_THREAD_MODEL)
    set(MINGW_THREAD_MODEL win32)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_THREAD_MODEL)
set(CMAKE_C_COMPILER ${mingw_triplet}-gcc-${MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-${MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained: the C++ runtime and winpthread linked in, only Windows DLLs needed.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# With the address space laid out at random, Wine now and then finds the
# fixed addresses it needs taken, and ends at start-up with status 1 ("failed
# to map the shared user data"). setarch -R lays it out the same every time.
find_program(setarch setarch)
if(wine_loader AND setarch)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${setarch} -R ${wine_loader})
elseif(wine_loader)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_loader})
endif()
