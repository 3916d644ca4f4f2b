# telvo_version_resource(TARGET FILE-NAME DLL|APP DESCRIPTION): gives a
# Windows program file a VERSIONINFO resource - product name telvo, file
# and product version from project(... VERSION ...), the description and
# the file's name - compiled by windres from cmake/windows/version.rc.in and
# linked in as an object. (Not through CMake's RC language: the compile
# options of the targets, for C++, would reach windres too.) Usable for
# targets of other directories (the host tool's).
function(telvo_version_resource target file_name file_type description)
  set(TELVO_RC_FILE_NAME ${file_name})
  get_filename_component(TELVO_RC_INTERNAL_NAME ${file_name} NAME_WE)
  set(TELVO_RC_FILETYPE VFT_${file_type})
  set(TELVO_RC_DESCRIPTION "${description}")
  set(dir ${CMAKE_BINARY_DIR}/version)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/version.rc.in ${dir}/${target}.rc @ONLY)
  add_custom_command(OUTPUT ${dir}/${target}.res.obj
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${dir}/${target}.rc -o ${dir}/${target}.res.obj
    DEPENDS ${dir}/${target}.rc
    COMMENT "Version resource of ${file_name}"
    VERBATIM)
  add_custom_target(${target}_version_resource DEPENDS ${dir}/${target}.res.obj)
  add_dependencies(${target} ${target}_version_resource)
  target_sources(${target} PRIVATE ${dir}/${target}.res.obj)
  set_source_files_properties(${dir}/${target}.res.obj TARGET_DIRECTORY ${target}
    PROPERTIES EXTERNAL_OBJECT ON GENERATED ON)
endfunction()
