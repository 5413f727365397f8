# Run by cpack after it made the packages (CPACK_POST_BUILD_SCRIPTS): finish-debs.sh mends them.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/finish-debs.sh ${CPACK_PACKAGE_FILES}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "finish-debs.sh: ${result}")
endif()
