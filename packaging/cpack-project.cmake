# Read by cpack before it makes the packages.
# dpkg-shlibdeps searches the multiarch folders of DEB_HOST_ARCH for the libraries that the
# packaged binaries need, so it must be the packages' architecture, not the build machine's.
set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
# Each package's description starts with its own synopsis; CPack would put the project's first.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
