# The Debian packages, made by CPack from the install rules of
# cmake/install.cmake (scripts/deb/build.sh):
#   libtelvo1     the library (libtelvo.so.1) and the device backend modules
#                 in /usr/lib/<triplet>/telvo/
#   libtelvo-dev  libtelvo.so, the headers, telvo.pc, the CMake package
#   telvo         the host tool, its manual page, the udev rule template
# The tree must be configured with CMAKE_INSTALL_PREFIX=/usr: only then is
# the library directory the multiarch one (GNUInstallDirs).
#
# Each package carries its copyright file and the changelog (Debian format,
# gzip -9n) in /usr/share/doc/<package>/. Those rules install only with the
# packages (EXCLUDE_FROM_ALL), not with a plain `cmake --install`.
set(TELVO_PACKAGE_MAINTAINER "telvo maintainers <maintainers@users.noreply.c-seed-9eaca982.example>"
    CACHE STRING "Maintainer field of the Debian packages")

set(telvo_deb_dir ${CMAKE_CURRENT_LIST_DIR})
set(telvo_deb_out ${CMAKE_BINARY_DIR}/package/deb)
file(MAKE_DIRECTORY ${telvo_deb_out})
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${telvo_deb_dir}/changelog ${telvo_deb_dir}/telvo.1)

# The changelog's newest entry names the version being packaged.
file(STRINGS ${telvo_deb_dir}/changelog telvo_changelog_top LIMIT_COUNT 1)
if(NOT telvo_changelog_top MATCHES "^telvo \\(${PROJECT_VERSION}\\) ")
  message(WARNING "cmake/package/changelog does not start with version ${PROJECT_VERSION}: "
                  "add an entry before packaging (scripts/deb/build.sh refuses)")
endif()

# gzip -9n: best compression, no name or time stamp (the same bytes each time).
foreach(page changelog telvo.1)
  execute_process(COMMAND gzip -9n -c ${telvo_deb_dir}/${page}
                  OUTPUT_FILE ${telvo_deb_out}/${page}.gz RESULT_VARIABLE telvo_gzip_result)
  if(NOT telvo_gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed")
  endif()
endforeach()

# component, package name
set(telvo_deb_packages runtime libtelvo${TELVO_SOVERSION} development libtelvo-dev tool telvo)
while(telvo_deb_packages)
  list(POP_FRONT telvo_deb_packages component package)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  install(FILES ${telvo_deb_dir}/copyright ${telvo_deb_out}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endwhile()
if(TARGET telvo_tool)
  install(FILES ${telvo_deb_out}/telvo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
endif()

set(CPACK_PACKAGE_NAME telvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TELVO_PACKAGE_MAINTAINER})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET telvo_tool)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool needs libtelvo.so.1 before it is installed: dpkg-shlibdeps finds
# it in the build tree, and the tool's package names libtelvo1 itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# DEBIAN/shlibs "libtelvo 1 libtelvo1 (>= VERSION)" (only libtelvo.so.1 has
# a versioned SONAME).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# DEBIAN/symbols from the export list: each of the 26 functions since the
# version that first had it (all 1.0.0; a new export gets the version that
# adds it here).
file(STRINGS ${PROJECT_SOURCE_DIR}/src/api/telvo.def telvo_def_lines REGEX "^[ \t]+telvo_[A-Za-z]+")
set(telvo_symbols "libtelvo.so.${TELVO_SOVERSION} libtelvo${TELVO_SOVERSION} #MINVER#\n")
string(APPEND telvo_symbols "* Build-Depends-Package: libtelvo-dev\n")
foreach(line IN LISTS telvo_def_lines)
  string(STRIP "${line}" name)
  string(APPEND telvo_symbols " ${name}@Base 1.0.0\n")
endforeach()
file(CONFIGURE OUTPUT ${telvo_deb_out}/symbols CONTENT "${telvo_symbols}")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/api/telvo.def)
# ldconfig runs from the trigger. CPack also writes postinst and postrm
# scripts that call it; the post-build step takes those out again.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${telvo_deb_dir}/triggers ${telvo_deb_out}/symbols)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS ${telvo_deb_dir}/deb-post-build.cmake)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"host library for a USB motion controller
telvo drives a USB motion controller for a machine tool (six axes, spindle,
outputs, probe, homing, hand wheel) for a machine-control program that plans
its own motion: it opens the controller, sends the machine configuration,
streams 1 ms motion segments with flow control, polls the status and plans
probing moves, through 26 C functions.

This package holds the shared library and its device backend modules in
/usr/lib/<triplet>/telvo/: libtelvo_usb.so for a controller on USB (through
libusb), the one the library loads by default, and libtelvo_sim.so, a
simulated controller (TELVO_BACKEND=libtelvo_sim.so).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"host library for a USB motion controller (development files)
telvo drives a USB motion controller for a machine tool through 26 C
functions.

This package holds what a program that links telvo needs: the header
telvo/telvo.h, the device backend interface telvo/telvo_backend.h, the
link libtelvo.so, the pkg-config file telvo.pc and the CMake package
(find_package(telvo) gives the target telvo::telvo).")

set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DESCRIPTION
"host tool for a USB motion controller
The telvo command drives a machine through the telvo library the way a
machine-control host does: it runs G-code part programs, probes, homes and
jogs, prints the controller's status, records and decodes traces, and runs
a demonstration on the simulated controller.

This package also holds the template of the udev rule that gives the user
at the seat access to the controller (/usr/share/telvo/udev/).")

include(CPack)
