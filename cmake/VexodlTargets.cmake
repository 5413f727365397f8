# vexodl_strict_warnings(<target>): the warning flags that all of our own code builds with.
function(vexodl_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    # GCC notes every std:: function whose argument passing changed in GCC 7.1 on ARM; all of
    # this project builds with one compiler, so the note says nothing about our code.
    target_compile_options(${target} PRIVATE -Wno-psabi)
  endif()
endfunction()

# vexodl_static_piece(<target>): a static or object library that our shared libraries and tools
# link into themselves: position-independent, hidden visibility (the shared library's version
# script decides what it exports), strict warnings.
function(vexodl_static_piece target)
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  vexodl_strict_warnings(${target})
endfunction()

# vexodl_shared_library(<target> <output name> <version script>): a shared library as this project
# ships them: lib<output name>.so.1, hidden visibility, exports limited by the version script, no
# undefined symbols, strict warnings.
function(vexodl_shared_library target output_name version_script)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${output_name}
    VERSION ${PROJECT_VERSION}
    SOVERSION 1
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${version_script})
  target_link_options(${target} PRIVATE -Wl,--version-script=${version_script})
  # In the fuzz build, libFuzzer's coverage callbacks and clang's sanitizer runtime live in the
  # fuzzer program and reach the libraries only when it loads them.
  if(NOT VEXODL_BUILD_FUZZERS)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  vexodl_strict_warnings(${target})
endfunction()

# vexodl_error_codes(<target> <PUBLIC|PRIVATE> <part> <file>): <file> in the calling folder's build
# folder, made from common/error_codes.json for <part> (a back-end's enumeration, or the tool's
# meanings, "cli"), and that folder on <target>'s include path. common/error_codes.py runs on the
# build machine, as cli/generate.py does.
function(vexodl_error_codes target scope part file)
  set(script ${PROJECT_SOURCE_DIR}/common/error_codes.py)
  set(codes ${PROJECT_SOURCE_DIR}/common/error_codes.json)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${file}
    COMMAND Python3::Interpreter ${script} ${codes} ${part} ${CMAKE_CURRENT_BINARY_DIR}/${file}
    DEPENDS ${script} ${codes}
    COMMENT "Generating ${file} from common/error_codes.json"
    VERBATIM)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${file})
  target_include_directories(${target} ${scope} ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# vexodl_soname(<variable> <imported library target>): the SONAME of the shared library behind
# the target, read from the name its development link resolves to (libcurl.so ->
# libcurl.so.4.8.0 gives libcurl.so.4), as dlopen must ask for it.
function(vexodl_soname variable target)
  get_target_property(location ${target} LOCATION)
  get_filename_component(real "${location}" REALPATH)
  get_filename_component(name "${real}" NAME)
  if(NOT name MATCHES "^(.+\\.so\\.[0-9]+)")
    message(FATAL_ERROR "cannot tell the SONAME of ${location} (${real})")
  endif()
  set(${variable} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# vexodl_discover_tests(<target> <label>): each GoogleTest case of <target> becomes a ctest test
# with <label>. Listing the cases runs the program, under qemu-arm in the armhf configuration, so
# it may take longer than GoogleTest's default of five seconds.
#
# A hermetic ("unit") program also becomes one test "memcheck.<target>" that runs it whole under
# valgrind memcheck, for the configuration "memcheck" only (`ctest -C memcheck -L memcheck`, the
# valgrind preset): valgrind's start-up costs more than most tests, so it pays it once a program.
include(GoogleTest)
find_program(VEXODL_VALGRIND valgrind)
function(vexodl_discover_tests target label)
  gtest_discover_tests(${target} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 120)
  if(label STREQUAL "unit" AND VEXODL_VALGRIND AND NOT CMAKE_CROSSCOMPILING)
    add_test(NAME memcheck.${target} CONFIGURATIONS memcheck
      COMMAND ${VEXODL_VALGRIND} --tool=memcheck --error-exitcode=99 --leak-check=full
        --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
        --track-fds=no --quiet $<TARGET_FILE:${target}>)
    set_tests_properties(memcheck.${target} PROPERTIES LABELS memcheck)
  endif()
endfunction()
