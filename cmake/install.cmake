# `cmake --install` on Linux: the library with both device backend modules
# beside it (the USB one is what the library loads by default), the headers,
# the host tool, the udev rule template, a pkg-config file and a CMake
# package. Kept in one place, apart from the targets' own folders.
include(GNUInstallDirs)

set(TELVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/telvo)

install(TARGETS telvo LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/telvo/telvo.h ${PROJECT_SOURCE_DIR}/include/telvo/telvo_backend.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/telvo)

if(TARGET telvo_usb)
  install(TARGETS telvo_usb LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/backend/usb/udev/70-telvo.rules
          DESTINATION ${CMAKE_INSTALL_DATADIR}/telvo/udev)
endif()

# The simulated controller's module goes beside the library under its own
# name; a build that still names it like the USB module keeps it apart.
if(TARGET telvo_sim)
  get_target_property(telvo_sim_name telvo_sim OUTPUT_NAME)
  if(telvo_sim_name STREQUAL "telvo_usb")
    install(TARGETS telvo_sim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/telvo/sim)
  else()
    install(TARGETS telvo_sim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()

if(TARGET telvo_tool)
  install(TARGETS telvo_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Relocatable: the prefix is found from where the file sits.
file(RELATIVE_PATH TELVO_PC_RELATIVE_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/telvo.pc.in ${CMAKE_BINARY_DIR}/package/telvo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/telvo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/telvoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
file(RELATIVE_PATH TELVO_RELATIVE_PREFIX /prefix/${TELVO_INSTALL_CMAKEDIR} /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/telvoConfig.cmake.in ${CMAKE_BINARY_DIR}/package/telvoConfig.cmake @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/telvoConfig.cmake
              ${CMAKE_BINARY_DIR}/package/telvoConfigVersion.cmake
        DESTINATION ${TELVO_INSTALL_CMAKEDIR})
