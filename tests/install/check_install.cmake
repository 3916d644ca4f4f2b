# Installs the build into a scratch prefix, checks that everything is in
# place, then builds and runs a consumer project against the prefix, once
# through the CMake package and once through pkg-config.
#   -DBUILD_DIR= -DWORK= -DCONSUMER= -DGENERATOR= -DLIBDIR= -DWITH_TOOL=1|0
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(lib ${LIBDIR})
# The tool is installed only when it is built (TELVO_BUILD_TOOLS).
set(tool)
if(WITH_TOOL)
  set(tool bin/telvo)
  # With the operator's station, its page beside it.
  if(WITH_SERVE)
    list(APPEND tool share/telvo/www/index.html share/telvo/www/app.js)
  endif()
endif()
# The modules in the folder telvo/ beside the library, where it looks for them.
foreach(f ${lib}/libtelvo.so ${lib}/libtelvo.so.1 ${lib}/telvo/libtelvo_usb.so ${lib}/telvo/libtelvo_sim.so
          ${tool} include/telvo/telvo.h
          include/telvo/telvo_backend.h share/telvo/udev/70-telvo.rules ${lib}/pkgconfig/telvo.pc
          ${lib}/cmake/telvo/telvoConfig.cmake ${lib}/cmake/telvo/telvoConfigVersion.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# The Debian documentation goes only into the packages.
if(EXISTS ${prefix}/share/doc/libtelvo1)
  message(FATAL_ERROR "a plain install holds the packages' share/doc/libtelvo1")
endif()
file(READ ${prefix}/share/telvo/udev/70-telvo.rules rule)
if(NOT rule MATCHES "TAG\\+=\"uaccess\"")
  message(FATAL_ERROR "the udev rule lacks the uaccess tag")
endif()
# The USB module exports exactly the backend's entry points.
execute_process(COMMAND nm -D --defined-only ${prefix}/${lib}/telvo/libtelvo_usb.so OUTPUT_VARIABLE symbols)
string(REGEX MATCHALL " T [A-Za-z_0-9]+" exported "${symbols}")
list(LENGTH exported count)
if(NOT count EQUAL 10)
  message(FATAL_ERROR "libtelvo_usb.so exports ${count} functions, not the 10 of the backend ABI:\n${symbols}")
endif()

foreach(mode cmake pkgconfig)
  set(build ${WORK}/consumer-${mode})
  run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${lib}/pkgconfig
      ${CMAKE_COMMAND} -S ${CONSUMER} -B ${build} -G ${GENERATOR}
      -DTELVO_FIND=${mode} -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${build})
  run(${build}/consumer)
  if(NOT last_output MATCHES "firmware 00.00, backend ABI 1")
    message(FATAL_ERROR "consumer (${mode}) printed: ${last_output}")
  endif()
  # The installed library finds the simulator in its module folder.
  run(${CMAKE_COMMAND} -E env TELVO_BACKEND=libtelvo_sim.so ${build}/consumer sim)
  if(NOT last_output MATCHES "200 segments executed, axis 0 at 100 steps")
    message(FATAL_ERROR "consumer (${mode}) on the simulator printed: ${last_output}")
  endif()
  # It runs on the installed library, not the build tree's.
  execute_process(COMMAND ldd ${build}/consumer OUTPUT_VARIABLE linked)
  if(NOT linked MATCHES "${prefix}/${lib}/libtelvo.so")
    message(FATAL_ERROR "consumer (${mode}) does not use the installed library:\n${linked}")
  endif()
endforeach()
message(STATUS "installed and consumed through the CMake package and pkg-config")
