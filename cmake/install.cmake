# `cmake --install` on Linux, and the Debian packages made from the same
# rules (cmake/package/deb.cmake): the library, the device backend modules in
# the folder telvo/ beside it (the library looks there after its own
# directory; the USB module is what it loads by default), the headers, the
# host tool, the udev rule template, a pkg-config file and a CMake package.
# Kept in one place, apart from the targets' own folders.
#
# Every rule belongs to the component of the package that carries it:
#   runtime      libtelvo1      libtelvo.so.1, the modules
#   development  libtelvo-dev   libtelvo.so, headers, telvo.pc, CMake package
#   tool         telvo          the host tool, the udev rule template, later
#                               the operator web page's assets
include(GNUInstallDirs)

set(TELVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/telvo)
# Plugins stay out of the system library directory.
set(TELVO_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/telvo)
# The operator web page's assets (component tool): /usr/share/telvo/www in the
# package. Whoever builds them sets TELVO_WEB_ASSETS_DIR to the folder that
# holds them.
set(TELVO_INSTALL_WEBDIR ${CMAKE_INSTALL_DATADIR}/telvo/www)

install(TARGETS telvo
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/telvo/telvo.h ${PROJECT_SOURCE_DIR}/include/telvo/telvo_backend.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/telvo COMPONENT development)

if(TARGET telvo_usb)
  install(TARGETS telvo_usb LIBRARY DESTINATION ${TELVO_INSTALL_MODULEDIR} COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/backend/usb/udev/70-telvo.rules
          DESTINATION ${CMAKE_INSTALL_DATADIR}/telvo/udev COMPONENT tool)
endif()
if(TARGET telvo_sim)
  # A shared library (the tests link it) without a version, loaded as a
  # module by its file name.
  install(TARGETS telvo_sim LIBRARY DESTINATION ${TELVO_INSTALL_MODULEDIR} COMPONENT runtime)
endif()

if(TARGET telvo_tool)
  # The library sits in the system's search path when packaged; elsewhere
  # the tool finds it in the prefix's library directory.
  set_target_properties(telvo_tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS telvo_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()
if(DEFINED TELVO_WEB_ASSETS_DIR)
  install(DIRECTORY ${TELVO_WEB_ASSETS_DIR}/ DESTINATION ${TELVO_INSTALL_WEBDIR} COMPONENT tool)
endif()

# Relocatable: the prefix is found from where the file sits.
file(RELATIVE_PATH TELVO_PC_RELATIVE_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/telvo.pc.in ${CMAKE_BINARY_DIR}/package/telvo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/telvo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/telvoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
file(RELATIVE_PATH TELVO_RELATIVE_PREFIX /prefix/${TELVO_INSTALL_CMAKEDIR} /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/telvoConfig.cmake.in ${CMAKE_BINARY_DIR}/package/telvoConfig.cmake @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/telvoConfig.cmake
              ${CMAKE_BINARY_DIR}/package/telvoConfigVersion.cmake
        DESTINATION ${TELVO_INSTALL_CMAKEDIR} COMPONENT development)

include(${CMAKE_CURRENT_LIST_DIR}/package/deb.cmake)
