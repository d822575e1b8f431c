# The 32-bit ARM Linux program (armhf), as on 32-bit Raspberry Pi OS.
set(CMAKE_SYSTEM_PROCESSOR armhf)
set(LINUX_TRIPLET arm-linux-gnueabihf)
set(HALVEK_DEBIAN_ARCHITECTURE armhf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static CACHE FILEPATH "Runs the program here, for the tests")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
