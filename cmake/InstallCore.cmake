# Installs the HarkwellCore library for hosts: the static library, its public headers under
# include/HarkwellCore/, and harkwellcore.pc so that a host finds it with
#   pkg-config --cflags --libs harkwellcore
include(GNUInstallDirs)

install(TARGETS HarkwellCore ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/Protocol.h
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/Value.h
  ${PROJECT_SOURCE_DIR}/Sources/HarkwellCore/Json.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/HarkwellCore)

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
