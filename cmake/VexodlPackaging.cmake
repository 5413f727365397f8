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

# Debian packages, made by CPack from this build tree: the armhf ones are cross-built against a
# private sysroot that no Debian source package could declare (docs/packaging.md says why CPack).
# The library depends on the back-end libraries by package name: a vendor's build of a back-end
# replaces ours by providing that name.
if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^arm-linux-gnueabihf")
  set(_deb_arch armhf)
elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^x86_64-linux-gnu" OR NOT CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _deb_arch
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(VEXODL_DEB_BACKEND_PACKAGES "libvexodlvexohost1, libvexodlpyload1" CACHE STRING
  "Packages that provide the two back-end libraries, as the library's package depends on them")

# The Debian revision comes from the changelog, whose first entry must be of this version.
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
file(STRINGS ${_pkg}/changelog _entry LIMIT_COUNT 1)
string(REPLACE "." "\\." _version_re "${PROJECT_VERSION}")
if(NOT _entry MATCHES "^vexodl-filehosting \\(${_version_re}-([0-9]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry is not of version ${PROJECT_VERSION}-N")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})
set(_deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
# gzip -n leaves out the name and time, so that the packages of one source are the same each time.
set(_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9n -c ${_pkg}/changelog OUTPUT_FILE ${_changelog_gz}
  RESULT_VARIABLE _gzip)
if(NOT _gzip EQUAL 0)
  message(FATAL_ERROR "gzip packaging/changelog: ${_gzip}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_pkg}/changelog)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexodl-filehosting)
set(CPACK_PACKAGE_VENDOR "vexodl")
set(CPACK_PACKAGE_CONTACT "vexodl developers <dev@vexodl.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SOURCE vexodl-filehosting)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vexodl.invalid/")
# Binaries go stripped into the packages, their debug information into -dbgsym packages.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
# dpkg-shlibdeps computes the dependencies on the libraries that the binaries list as NEEDED. It
# finds our back-end libraries in the build tree, and on armhf the sysroot's libraries in the
# sysroot, whose DEBIAN/ holds their packages' symbols and shlibs (scripts/armhf-sysroot.sh).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/filehosting ${PROJECT_BINARY_DIR}/vexohost ${PROJECT_BINARY_DIR}/pyload)
if(VEXODL_ARMHF_SYSROOT AND EXISTS ${VEXODL_ARMHF_SYSROOT}/DEBIAN/shlibs)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${VEXODL_ARMHF_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
    ${VEXODL_ARMHF_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
# dpkg-shlibdeps looks for the libraries of the packages' architecture, not the build machine's.
set(CPACK_PROJECT_CONFIG_FILE ${_pkg}/cpack-project.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${_pkg}/finish-debs.cmake)

# Per component: the package, and its description: the synopsis on the first line, then the
# extended description (lines of at most 80 characters).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvexodlfilehosting1)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "file-host catalogue of the vexodl download manager
The library lists the file hosts the download manager can use, from its
native host-plugin service and from pyLoad, and keeps their enabled states
and accounts.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${VEXODL_DEB_BACKEND_PACKAGES}")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvexodlfilehosting-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "file-host catalogue of the vexodl download manager - development files
Headers, CMake package (find_package(VexodlFilehosting)) and pkg-config file
(vexodl-filehosting) for building programs against libvexodlfilehosting.")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libvexodlfilehosting1 (= ${_deb_version}), libjsoncpp-dev (>= 1.9.5)")

# Our own builds of the back-end libraries. Their package names are what the library's package
# depends on; a vendor's package that replaces one provides, conflicts with and replaces that name.
set(CPACK_DEBIAN_VEXOHOST_PACKAGE_NAME libvexodlvexohost1)
set(CPACK_DEBIAN_VEXOHOST_DESCRIPTION "native host-plugin service of the vexodl download manager
The service keeps the download manager's host plug-ins, installs and updates
them from signed packages, and stores their accounts in SQLite under
/var/lib/vexodl/filehosts.")
# libcurl and libarchive are loaded on demand (vexohost/on_demand.cpp), so dpkg-shlibdeps does not
# see them: libcurl 7.85 brought CURLOPT_PROTOCOLS_STR; libarchive 3.6 is the release (Debian 12's)
# that the functions the service loads (vexohost/on_demand.h) are built and tested against. The
# postinst makes the verifiers' user with useradd, from passwd, which is not essential.
set(CPACK_DEBIAN_VEXOHOST_PACKAGE_DEPENDS "libarchive13 (>= 3.6), libcurl4 (>= 7.85), passwd")
set(CPACK_DEBIAN_PYLOAD_PACKAGE_NAME libvexodlpyload1)
set(CPACK_DEBIAN_PYLOAD_DESCRIPTION "pyLoad RPC client of the vexodl download manager
The client talks to pyLoad over its domain socket or its command line to list
its hosts and keep their accounts.")

# The command-line tool, in a package of its own: programs that load the library do not need it.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME vexodl-filehosting)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_CLI_DESCRIPTION "command-line tool for the vexodl download manager's file hosts
vexodl-filehosting lists the file hosts, sets and verifies their accounts,
enables and disables them, and installs, updates and deletes native host
plug-ins.")
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "libvexodlfilehosting1 (= ${_deb_version})")

# Every package carries the copyright and the changelog, and one lintian override: these packages
# are not uploaded to Debian, so the changelog's first entry closes no ITP bug. The libraries carry
# their symbols, shlibs and the ldconfig trigger; the native service's package makes its state
# directory.
set(_components runtime dev vexohost pyload cli)
set(_packages libvexodlfilehosting1 libvexodlfilehosting-dev libvexodlvexohost1 libvexodlpyload1
  vexodl-filehosting)
foreach(component package IN ZIP_LISTS _components _packages)
  install(FILES ${_pkg}/copyright ${_changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/lintian/${package}
    "# Not uploaded to Debian: there is no ITP bug to close.\n"
    "${package}: initial-upload-closes-no-bugs\n")
  install(FILES ${PROJECT_BINARY_DIR}/packaging/lintian/${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  if(component MATCHES "^(RUNTIME|VEXOHOST|PYLOAD)$")
    file(GLOB _extra ${_pkg}/${package}/*)
    set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA ${_pkg}/triggers ${_extra})
  endif()
endforeach()

# The administrator's file of update keys: a conffile, kept on upgrade and removed on purge, that
# holds only comments saying what goes there.
get_filename_component(_keys_dir "${VEXODL_VEXOHOST_UPDATE_KEYS_FILE}" DIRECTORY)
get_filename_component(_keys_name "${VEXODL_VEXOHOST_UPDATE_KEYS_FILE}" NAME)
install(FILES ${_pkg}/update-keys DESTINATION ${_keys_dir} RENAME ${_keys_name}
  COMPONENT vexohost)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "${VEXODL_VEXOHOST_UPDATE_KEYS_FILE}\n")
list(APPEND CPACK_DEBIAN_VEXOHOST_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)

set(CPACK_COMPONENTS_ALL runtime dev vexohost pyload)
if(VEXODL_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL cli)
endif()
include(CPack)
