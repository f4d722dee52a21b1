# Installation (docs/install.md): the shared libraries, the public headers in
# include/zuntal/, the tools, the CMake package (find_package(libZUNTAL)) with
# targets libZUNTAL::zuntal, ::tavro, ::ntcan and ::zuntal_sim, the pkg-config
# files zuntal.pc and zuntal-sim.pc, and three Debian packages made by
# `cpack -G DEB`. Test support (tavro_test_support, zuntal_test_support) is
# never installed.
#
# Install components: runtime (the libraries' .so.N files), tools (programs,
# example configuration and device descriptions), dev (headers, .so links,
# CMake and pkg-config files).
include(CMakePackageConfigHelpers)

set(ZUNTAL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/zuntal)
set(ZUNTAL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/libZUNTAL)

# The libraries. `ntcan` is the project's own driver, or with
# ZUNTAL_VENDOR_NTCAN an interface target naming the vendor's files (nothing
# of the project's driver is installed then).
set(zuntal_installed_libs tavro ntcan zuntal)
if(TARGET zuntal_sim)
  list(APPEND zuntal_installed_libs zuntal_sim)
endif()
foreach(lib ${zuntal_installed_libs})
  # The same names in a tree that includes this one with add_subdirectory.
  add_library(libZUNTAL::${lib} ALIAS ${lib})
  get_target_property(lib_type ${lib} TYPE)
  if(lib_type STREQUAL "SHARED_LIBRARY")
    # Installed side by side: each finds the others in its own directory.
    set_target_properties(${lib} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
endforeach()
target_compile_features(zuntal INTERFACE cxx_std_17)
if(ZUNTAL_VENDOR_NTCAN)
  # The installed libzuntal finds the vendor's driver where it was found at
  # configuration, also outside the loader's own directories (/opt/...).
  get_filename_component(vendor_dir "${NTCAN_VENDOR_LIBRARY}" DIRECTORY)
  if(NOT vendor_dir IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    set_property(TARGET zuntal APPEND PROPERTY INSTALL_RPATH "${vendor_dir}")
  endif()
endif()

install(TARGETS ${zuntal_installed_libs}
  EXPORT libZUNTALTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

# Public headers. Servers include "D_zuntal.h" (which includes "ntcan.h",
# "tavro.h" and "d_value/d_value.h") with -I<prefix>/include/zuntal;
# canopen_ids.h (the CANopen identifier bases) is included by sim_device.h and
# open to servers that build frames of their own.
install(FILES
    ${PROJECT_SOURCE_DIR}/library/common/ZUNTALlib/D_zuntal.h
    ${PROJECT_SOURCE_DIR}/library/common/ZUNTALlib/D_zuntal_pdo.h
    ${PROJECT_BINARY_DIR}/include/zuntal_version.h
    ${PROJECT_SOURCE_DIR}/library/common/tavro/tavro.h
    ${PROJECT_SOURCE_DIR}/library/common/canopen/canopen_ids.h
  DESTINATION ${ZUNTAL_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES
    ${PROJECT_SOURCE_DIR}/library/common/tavro/d_value/d_value.h
    ${PROJECT_SOURCE_DIR}/library/common/tavro/d_value/d_value_utils.h
  DESTINATION ${ZUNTAL_INSTALL_INCLUDEDIR}/d_value COMPONENT dev)
if(NOT ZUNTAL_VENDOR_NTCAN)
  install(FILES
      ${PROJECT_SOURCE_DIR}/library/drivers/ntcan/ntcan.h
      ${PROJECT_SOURCE_DIR}/library/drivers/ntcan/ntcan_ctl.h
    DESTINATION ${ZUNTAL_INSTALL_INCLUDEDIR} COMPONENT dev)
endif()
if(TARGET zuntal_sim)
  install(FILES
      ${PROJECT_SOURCE_DIR}/library/sim/sim_eds.h
      ${PROJECT_SOURCE_DIR}/library/sim/sim_device.h
      ${PROJECT_SOURCE_DIR}/library/sim/sim_bus.h
    DESTINATION ${ZUNTAL_INSTALL_INCLUDEDIR} COMPONENT dev)
endif()

# The tools, and the configuration and device descriptions they run with.
set(zuntal_installed_tools "")
foreach(tool zuntal_server zuntal_gateway zuntal_monitor)
  if(TARGET ${tool})
    list(APPEND zuntal_installed_tools ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
endforeach()
if(zuntal_installed_tools)
  install(TARGETS ${zuntal_installed_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT tools)
  file(GLOB zuntal_example_files ${PROJECT_SOURCE_DIR}/examples/*.eds)
  install(FILES ${zuntal_example_files} ${PROJECT_SOURCE_DIR}/examples/server.conf
          DESTINATION ${CMAKE_INSTALL_DATADIR}/zuntal/examples COMPONENT tools)
endif()

# The licence, where Debian looks for it, once per package.
foreach(component runtime tools dev)
  if(component STREQUAL "runtime")
    set(pkg libzuntal${PROJECT_VERSION_MAJOR})
  elseif(component STREQUAL "tools")
    set(pkg zuntal-tools)
  else()
    set(pkg libzuntal-dev)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg}
          RENAME copyright COMPONENT ${component})
endforeach()

# The CMake package.
install(EXPORT libZUNTALTargets NAMESPACE libZUNTAL:: DESTINATION ${ZUNTAL_INSTALL_CMAKEDIR}
        COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/libZUNTALConfig.cmake.in
  ${PROJECT_BINARY_DIR}/libZUNTALConfig.cmake INSTALL_DESTINATION ${ZUNTAL_INSTALL_CMAKEDIR})
# The SONAME carries the major version, so does compatibility.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/libZUNTALConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/libZUNTALConfig.cmake
              ${PROJECT_BINARY_DIR}/libZUNTALConfigVersion.cmake
        DESTINATION ${ZUNTAL_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config files, relocatable: every path is relative to the .pc file, so
# the same files serve `cmake --install --prefix ANY` and the Debian package.
file(RELATIVE_PATH ZUNTAL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZUNTAL_PC_TO_PREFIX "${ZUNTAL_PC_TO_PREFIX}")
if(ZUNTAL_VENDOR_NTCAN)
  set(ZUNTAL_PC_DRIVER_CFLAGS "-I${NTCAN_VENDOR_INCLUDE_DIR}")
  set(ZUNTAL_PC_DRIVER_LIBS "${NTCAN_VENDOR_LIBRARY}")
else()
  set(ZUNTAL_PC_DRIVER_CFLAGS "")
  set(ZUNTAL_PC_DRIVER_LIBS "-lzuntal_ntcan")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/zuntal.pc.in ${PROJECT_BINARY_DIR}/zuntal.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zuntal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
if(TARGET zuntal_sim)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/zuntal-sim.pc.in ${PROJECT_BINARY_DIR}/zuntal-sim.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/zuntal-sim.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)
endif()

# Debian packages: libzuntalN (libraries), zuntal-tools (programs) and
# libzuntal-dev (development files). Run cpack in a tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr so that the libraries go to Debian's multiarch
# directory. Dependencies on other Debian packages come from dpkg-shlibdeps
# (package dpkg-dev), those between the three from the components.
set(ZUNTAL_PACKAGE_MAINTAINER "the libZUNTAL developers <libzuntal@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_NAME libzuntal)
set(CPACK_PACKAGE_VENDOR "the libZUNTAL developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZUNTAL_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime tools dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzuntal${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # a shlibs file for libzuntal0
if(ZUNTAL_VENDOR_NTCAN)
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "CAN node property library for TAVRO device servers
libzuntal (CAN node properties, CANopen services, line supervision) and
libtavro (framework layer), built against the vendor's NTCAN driver.")
else()
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "CAN node property library for TAVRO device servers
libzuntal (CAN node properties, CANopen services, line supervision), libtavro
(framework layer), libzuntal_ntcan (the project's NTCAN driver: simulated bus,
network gateway and SocketCAN media) and libzuntal_sim (simulated CANopen devices).")
endif()

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zuntal-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# dpkg-shlibdeps runs in each package's staging directory; the tools' libraries
# are found beside it, in the one of libzuntalN.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    "../runtime${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "libZUNTAL example device server, network CAN gateway, bus monitor
zuntal_server, zuntal_gateway and zuntal_monitor, with an example configuration
and EDS device descriptions in /usr/share/zuntal/examples.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzuntal-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION "libZUNTAL development files
Headers in /usr/include/zuntal, the CMake package libZUNTAL
(find_package(libZUNTAL)) and the pkg-config files zuntal and zuntal-sim.")
include(CPack)
