# How the project is installed for programs that build against it (CMake package, pkg-config) and
# how CPack packs it for Debian. Components: runtime (the library), dev (headers, CMake package,
# pkg-config), vexohost and pyload (our own builds of the two back-end libraries), cli (the
# command-line tool).
include(CMakePackageConfigHelpers)

set(_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/VexodlFilehosting)
install(EXPORT VexodlFilehostingTargets NAMESPACE vexodl:: DESTINATION ${_cmake_dir}
  COMPONENT dev)
configure_package_config_file(cmake/VexodlFilehostingConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VexodlFilehostingConfig.cmake INSTALL_DESTINATION ${_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VexodlFilehostingConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/VexodlFilehostingConfig.cmake
  ${PROJECT_BINARY_DIR}/VexodlFilehostingConfigVersion.cmake
  DESTINATION ${_cmake_dir} COMPONENT dev)

# The .pc file finds its prefix from where it lies, so the tree can be installed anywhere.
file(RELATIVE_PATH VEXODL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/vexodl-filehosting.pc.in ${PROJECT_BINARY_DIR}/vexodl-filehosting.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexodl-filehosting.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Debian packages. The library depends on the back-end libraries by package name: a vendor's
# build of a back-end replaces ours by providing that name.
if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^arm-linux-gnueabihf")
  set(_deb_arch armhf)
elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^x86_64-linux-gnu" OR NOT CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _deb_arch
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(VEXODL_DEB_BACKEND_PACKAGES "libvexodlvexohost1, libvexodlpyload1" CACHE STRING
  "Packages that provide the two back-end libraries, as the library's package depends on them")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexodl-filehosting)
set(CPACK_PACKAGE_VENDOR "vexodl")
set(CPACK_PACKAGE_CONTACT "vexodl developers <dev@vexodl.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vexodl.invalid/")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvexodlfilehosting1)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "file-host catalogue, enabled states and accounts for the vexodl download manager")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 12), libjsoncpp25 (>= 1.9.5), ${VEXODL_DEB_BACKEND_PACKAGES}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvexodlfilehosting-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "development files of libvexodlfilehosting: headers, CMake package, pkg-config file")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libvexodlfilehosting1 (= ${PROJECT_VERSION}), libjsoncpp-dev (>= 1.9.5)")

# Our own builds of the back-end libraries. Their package names are what the library's package
# depends on; a vendor's package that replaces one provides, conflicts with and replaces that name.
set(_cxx_runtime "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 12), libjsoncpp25 (>= 1.9.5)")
set(CPACK_DEBIAN_VEXOHOST_PACKAGE_NAME libvexodlvexohost1)
set(CPACK_DEBIAN_VEXOHOST_DESCRIPTION
  "native host-plugin service of the vexodl download manager: plug-in store, accounts in SQLite, signed updates")
# libcurl 7.85 brought CURLOPT_PROTOCOLS_STR.
set(CPACK_DEBIAN_VEXOHOST_PACKAGE_DEPENDS
  "${_cxx_runtime}, libsqlite3-0 (>= 3.24), libarchive13 (>= 3.6), libcurl4 (>= 7.85), libsodium23 (>= 1.0.18)")
set(CPACK_DEBIAN_PYLOAD_PACKAGE_NAME libvexodlpyload1)
set(CPACK_DEBIAN_PYLOAD_DESCRIPTION
  "pyLoad RPC client of the vexodl download manager: domain socket and command line")
set(CPACK_DEBIAN_PYLOAD_PACKAGE_DEPENDS "${_cxx_runtime}")
foreach(component VEXOHOST PYLOAD)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  set(CPACK_DEBIAN_${component}_PACKAGE_GENERATE_SHLIBS ON)
endforeach()

# The command-line tool, in a package of its own: programs that load the library do not need it.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME vexodl-filehosting)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_CLI_DESCRIPTION
  "command-line tool of the vexodl download manager's file hosts: list, accounts, plug-ins")
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS
  "${_cxx_runtime}, libvexodlfilehosting1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_COMPONENTS_ALL runtime dev vexohost pyload)
if(VEXODL_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL cli)
endif()
include(CPack)
