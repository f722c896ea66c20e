# The CMake package ZorvErrorLog (targets Zorv::util, Zorv::errorLog) and the
# pkg-config file zorverrorLog.pc, each also under its lower-case name
# (find_package(zorverrorlog), pkg-config zorverrorlog).
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
  ${CMAKE_CURRENT_LIST_DIR}/zorverrorlog-config.cmake
  ${CMAKE_CURRENT_LIST_DIR}/zorverrorlog-config-version.cmake
  DESTINATION ${ZORV_CMAKE_DIR})

# The .pc files name the prefix they are installed into, also when it is given
# at install time (cmake --install --prefix), so the prefix is filled in then;
# a tree moved afterwards is read with pkg-config --define-variable=prefix=NEW.
set(ZORV_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
set(ZORV_PC_DIR ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig)
foreach(pc zorverrorLog zorverrorlog)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${ZORV_PC_DIR}/${pc}.pc.in @ONLY)
  install(CODE "configure_file(\"${ZORV_PC_DIR}/${pc}.pc.in\" \"${ZORV_PC_DIR}/${pc}.pc\" @ONLY)")
  install(FILES ${ZORV_PC_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
