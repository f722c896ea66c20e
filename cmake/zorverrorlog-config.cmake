# find_package(zorverrorlog): the CMake package ZorvErrorLog under its
# lower-case name.
include("${CMAKE_CURRENT_LIST_DIR}/ZorvErrorLogConfig.cmake")
if(DEFINED ZorvErrorLog_FOUND AND NOT ZorvErrorLog_FOUND)
  set(zorverrorlog_FOUND FALSE)
  set(zorverrorlog_NOT_FOUND_MESSAGE "${ZorvErrorLog_NOT_FOUND_MESSAGE}")
endif()
