# SPDX-License-Identifier: MIT
# Installs the HarkwellCore library for hosts: the static library, its public headers under
# include/HarkwellCore/, a CMake package (find_package(HarkwellCore), target
# HarkwellCore::HarkwellCore) and harkwellcore.pc (pkg-config --cflags --libs harkwellcore).
include(CMakePackageConfigHelpers)

set(harkwellcore_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/HarkwellCore)
install(TARGETS HarkwellCore EXPORT HarkwellCoreTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/ControlMessage.h
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/Frame.h
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/FrameReader.h
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/Json.h
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/JsonParse.h
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/Value.h
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/harkwell.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/HarkwellCore)
install(EXPORT HarkwellCoreTargets NAMESPACE HarkwellCore:: DESTINATION ${harkwellcore_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/HarkwellCoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/HarkwellCoreConfig.cmake INSTALL_DESTINATION ${harkwellcore_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/HarkwellCoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/HarkwellCoreConfig.cmake
  ${PROJECT_BINARY_DIR}/HarkwellCoreConfigVersion.cmake DESTINATION ${harkwellcore_cmake_dir})

# The .pc file names the prefix it was installed under; relative paths stay relative to it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(HARKWELLCORE_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(HARKWELLCORE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(HARKWELLCORE_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(HARKWELLCORE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# Filled in by the install step below, once the prefix is known.
set(HARKWELLCORE_PC_PREFIX "@PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/harkwellcore.pc.in
  ${PROJECT_BINARY_DIR}/harkwellcore.pc.in.configured @ONLY)
# The prefix is only known at install time (cmake --install --prefix DIR).
install(CODE "
  set(pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  file(READ \"${PROJECT_BINARY_DIR}/harkwellcore.pc.in.configured\" pc_text)
  string(REPLACE \"@PC_PREFIX@\" \"\${pc_prefix}\" pc_text \"\${pc_text}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/harkwellcore.pc\" \"\${pc_text}\")
")
install(FILES ${PROJECT_BINARY_DIR}/harkwellcore.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The manual pages of the two programs, and the host guide.
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/Harkwell.1 ${PROJECT_SOURCE_DIR}/docs/man/harkwell-record.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/host-guide.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
