# Cross build for Linux on another machine with Debian's cross compilers; LINUX_TRIPLET and
# HALVEK_DEBIAN_ARCHITECTURE are set by the file that includes this one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${LINUX_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
