# The 64-bit ARM Linux program (arm64), as on a Raspberry Pi with a 64-bit system.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LINUX_TRIPLET aarch64-linux-gnu)
set(HALVEK_DEBIAN_ARCHITECTURE arm64)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static CACHE FILEPATH "Runs the program here, for the tests")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
