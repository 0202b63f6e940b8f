# Linux build for 64-bit ARM (arm64).
set(linux_triplet aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(debian_arch arm64)
set(qemu_name aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
