# SQLite for the native host-plugin service: the imported target SQLite::SQLite3.
#
# A cross build may lack the target's libsqlite3-dev: that package needs the target's libc6-dev at
# exactly the build machine's version, which a Debian mirror cannot always serve while it syncs.
# sqlite3.h is the same on every architecture, so the build machine's header and the target's
# runtime library (libsqlite3-0:<arch>, found by its SONAME) serve as well.
find_package(SQLite3 QUIET)
if(NOT SQLite3_FOUND AND CMAKE_CROSSCOMPILING)
  find_path(VEXODL_SQLITE3_INCLUDE_DIR sqlite3.h)
  find_library(VEXODL_SQLITE3_LIBRARY NAMES libsqlite3.so.0)
  if(VEXODL_SQLITE3_INCLUDE_DIR AND VEXODL_SQLITE3_LIBRARY)
    add_library(SQLite::SQLite3 UNKNOWN IMPORTED)
    set_target_properties(SQLite::SQLite3 PROPERTIES
      IMPORTED_LOCATION ${VEXODL_SQLITE3_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${VEXODL_SQLITE3_INCLUDE_DIR})
    set(SQLite3_FOUND TRUE)
    message(STATUS "SQLite: ${VEXODL_SQLITE3_LIBRARY} with ${VEXODL_SQLITE3_INCLUDE_DIR}/sqlite3.h")
  endif()
endif()
if(NOT SQLite3_FOUND)
  message(FATAL_ERROR "SQLite 3 not found: install libsqlite3-dev (or libsqlite3-0:<arch> and "
                      "the build machine's libsqlite3-dev for a cross build)")
endif()
