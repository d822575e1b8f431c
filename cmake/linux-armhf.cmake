# The 32-bit ARM Linux program (armhf), as on 32-bit Raspberry Pi OS.
set(CMAKE_SYSTEM_PROCESSOR armhf)
set(LINUX_TRIPLET arm-linux-gnueabihf)
set(HALVEK_DEBIAN_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
