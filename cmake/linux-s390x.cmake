# Linux build for 64-bit IBM Z, big-endian (s390x): tested, not shipped.
set(linux_triplet s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(debian_arch s390x)
set(qemu_name s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
