# 32-bit ARM (armhf) with Debian's cross compilers and multiarch -dev packages
# (crossbuild-essential-armhf, and the :armhf packages of scripts/packages/armhf.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Multiarch keeps the armhf libraries and CMake packages under .../arm-linux-gnueabihf, which
# CMAKE_LIBRARY_ARCHITECTURE makes every search prefer; programs are always the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Test programs run under user-mode emulation; libc6:armhf provides the ARM loader.
find_program(VEXODL_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXODL_QEMU_ARM})

# pkg-config must answer with the armhf .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
