# Linux builds for other processors with Debian's cross compilers, shared by
# the toolchain files of each target, which set linux_triplet,
# CMAKE_SYSTEM_PROCESSOR, debian_arch (the Debian package's architecture)
# and qemu_name (qemu-user's emulator for it) first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${linux_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${linux_triplet}-g++)
set(DEBIAN_ARCH ${debian_arch} CACHE STRING "The Debian package's architecture")

set(CMAKE_FIND_ROOT_PATH /usr/${linux_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests run under qemu-user, which finds the target's C and C++ runtime
# where the cross compilers keep it.
find_program(qemu_user qemu-${qemu_name})
if(qemu_user)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu_user} -L /usr/${linux_triplet})
endif()
