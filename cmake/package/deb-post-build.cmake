# CPack post-build step of the Debian packages (CPACK_POST_BUILD_SCRIPTS):
# CPack writes postinst and postrm scripts that call ldconfig into every
# package with a library in /usr/lib; libtelvo1 uses the ldconfig trigger
# instead (cmake/package/triggers), so those scripts are taken out again
# when they hold nothing else. The package is rebuilt from its own unpacked
# contents; nothing else changes.
find_program(TELVO_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${TELVO_DPKG_DEB} -R ${deb} ${tree} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  set(removed FALSE)
  foreach(script postinst postrm)
    set(path ${tree}/DEBIAN/${script})
    if(NOT EXISTS ${path})
      continue()
    endif()
    file(READ ${path} text)
    # What CPack writes: a shebang, set -e, and one if-block that runs ldconfig.
    string(REGEX REPLACE "#![^\n]*\n|set -e\n|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n\tldconfig\nfi\n|[ \t\n]" "" rest "${text}")
    if(rest STREQUAL "")
      file(REMOVE ${path})
      set(removed TRUE)
    endif()
  endforeach()
  if(removed)
    execute_process(COMMAND ${TELVO_DPKG_DEB} --root-owner-group -b ${tree} ${deb}
                    OUTPUT_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "dpkg-deb -b ${deb} failed")
    endif()
    message(STATUS "${deb}: the ldconfig maintainer scripts taken out (the trigger runs it)")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
