# The CMake package ZorvErrorLog (targets Zorv::util, Zorv::errorLog) and the
# pkg-config file zorverrorLog.pc.
include(CMakePackageConfigHelpers)

set(ZORV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZorvErrorLog)
install(EXPORT ZorvErrorLogTargets NAMESPACE Zorv:: DESTINATION ${ZORV_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZorvErrorLogConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ZorvErrorLogConfig.cmake
  INSTALL_DESTINATION ${ZORV_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZorvErrorLogConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZorvErrorLogConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/ZorvErrorLogConfigVersion.cmake
  DESTINATION ${ZORV_CMAKE_DIR})

# The prefix is found relative to the .pc file itself, so an install moved
# elsewhere (or made with cmake --install --prefix) still describes itself.
file(RELATIVE_PATH ZORV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" ZORV_PC_TO_PREFIX "${ZORV_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zorverrorLog.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/zorverrorLog.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zorverrorLog.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
