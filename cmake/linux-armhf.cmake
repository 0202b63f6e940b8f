# Linux build for 32-bit ARMv7 with hard float (armhf).
set(linux_triplet arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(debian_arch armhf)
set(qemu_name arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
