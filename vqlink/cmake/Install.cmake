# What a host developer installs: the shared library (component
# libvqlink1), and the headers, the unversioned link, vqlink.pc and the
# CMake package vqlink::vqlink (component libvqlink-dev).
include(CMakePackageConfigHelpers)

install(TARGETS vqlink EXPORT vqlinkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT libvqlink1 NAMELINK_COMPONENT libvqlink-dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libvqlink1
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libvqlink-dev)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/vqlink.h ${CMAKE_CURRENT_SOURCE_DIR}/vqlink_records.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vqlink COMPONENT libvqlink-dev)

set(vqlink_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vqlink)
install(EXPORT vqlinkTargets NAMESPACE vqlink:: DESTINATION ${vqlink_cmake_dir}
  COMPONENT libvqlink-dev)
# The soname carries the major version: a host built against 1.x runs with
# any later 1.y.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vqlinkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vqlinkConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/vqlinkConfigVersion.cmake
  DESTINATION ${vqlink_cmake_dir} COMPONENT libvqlink-dev)

configure_file(${CMAKE_CURRENT_LIST_DIR}/vqlink.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vqlink.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vqlink.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT libvqlink-dev)
