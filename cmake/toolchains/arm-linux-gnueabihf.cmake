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

# The private sysroot of scripts/armhf-sysroot.sh holds the armhf libraries whose -dev packages
# cannot be installed beside the build machine's. Searches look there first, then in the multiarch
# folders; the linker finds their own dependencies there. At run time qemu-arm overlays it onto
# the file system (QEMU_LD_PREFIX, which the armhf preset sets), so ARM programs and the ARM
# children they start load those libraries from it.
if(DEFINED ENV{VEXODL_ARMHF_SYSROOT})
  set(VEXODL_ARMHF_SYSROOT $ENV{VEXODL_ARMHF_SYSROOT})
else()
  get_filename_component(VEXODL_ARMHF_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../../build/sysroot-armhf
    ABSOLUTE)
endif()
if(EXISTS ${VEXODL_ARMHF_SYSROOT}/.packages)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VEXODL_ARMHF_SYSROOT})
  foreach(libdir usr/lib/arm-linux-gnueabihf lib/arm-linux-gnueabihf)
    string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${VEXODL_ARMHF_SYSROOT}/${libdir}")
    string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${VEXODL_ARMHF_SYSROOT}/${libdir}")
  endforeach()
endif()
