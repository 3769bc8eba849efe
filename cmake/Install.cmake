# Install rules: the shared library with its SONAME, libosal.so, both headers,
# a pkg-config file and a CMake package (find_package(rorodire) gives the
# imported targets rorodire::rorodire and rorodire::osal), and the tool.
# Everything is relocatable: `cmake --install BUILD --prefix ANYWHERE` works.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Installed binaries find libosal.so beside librorodire.so, and the tool
# finds both in ../lib, wherever the prefix is.
file(RELATIVE_PATH _rr_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(rorodire osal PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS rorodire osal EXPORT rorodireTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES common/rorodire.h osal/osal.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET rorodire_tool)
  set_target_properties(rorodire_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${_rr_bin_to_lib}")
  install(TARGETS rorodire_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(RR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rorodire)
install(EXPORT rorodireTargets NAMESPACE rorodire:: DESTINATION ${RR_CMAKE_DIR})
configure_package_config_file(cmake/package/rorodireConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/rorodireConfig.cmake
  INSTALL_DESTINATION ${RR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/rorodireConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/rorodireConfig.cmake
              ${CMAKE_BINARY_DIR}/package/rorodireConfigVersion.cmake
        DESTINATION ${RR_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place.
file(RELATIVE_PATH RR_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" RR_PC_TO_PREFIX "${RR_PC_TO_PREFIX}")
configure_file(cmake/package/rorodire.pc.in ${CMAKE_BINARY_DIR}/package/rorodire.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/rorodire.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The MMS service, its systemd user unit and its D-Bus activation file. The
# unit and the activation file name the program by its installed path, known
# only when installing (--prefix), so they are written then.
if(TARGET rorodired)
  set_target_properties(rorodired PROPERTIES INSTALL_RPATH "$ORIGIN/${_rr_bin_to_lib}")
  install(TARGETS rorodired RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  foreach(f rorodired.service org.ofono.mms.service)
    install(CODE "
      set(RRD_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      configure_file(\"${CMAKE_SOURCE_DIR}/rorodired/${f}.in\" \"${CMAKE_BINARY_DIR}/rorodired/${f}\" @ONLY)")
  endforeach()
  install(FILES ${CMAKE_BINARY_DIR}/rorodired/rorodired.service DESTINATION lib/systemd/user)
  install(FILES ${CMAKE_BINARY_DIR}/rorodired/org.ofono.mms.service DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/services)
  install(FILES rorodired/org.ofono.mms.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d)
  install(FILES rorodired/rorodired.conf.example DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
