# Linux build for 32-bit x86 (i386).
set(linux_triplet i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(debian_arch i386)
set(qemu_name i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
