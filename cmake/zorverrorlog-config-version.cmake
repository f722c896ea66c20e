# The version check of ZorvErrorLog, for find_package(zorverrorlog VERSION).
include("${CMAKE_CURRENT_LIST_DIR}/ZorvErrorLogConfigVersion.cmake")
