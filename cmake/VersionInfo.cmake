# Gives an image the project's version resource (FileVersion, ProductVersion, company,
# product, description, original file name), so that Explorer, a page's codebase check and
# the MSI all see the version set once in project(VERSION).
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "project(VERSION) must have four numbers (a.b.c.d), not \"${PROJECT_VERSION}\"")
endif()
foreach(part MAJOR MINOR PATCH TWEAK)
  if(PROJECT_VERSION_${part} GREATER 65535)
    message(FATAL_ERROR "each number of project(VERSION) must be at most 65535")
  endif()
endforeach()

# add_version_resource(TARGET DESCRIPTION): the target's image file name becomes its
# OriginalFilename; DLLs and programs get their own file type.
function(add_version_resource target description)
  get_target_property(type ${target} TYPE)
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  if(type STREQUAL "SHARED_LIBRARY")
    set(VERSION_FILE_TYPE VFT_DLL)
    set(VERSION_ORIGINAL_FILENAME "${output_name}.dll")
  else()
    set(VERSION_FILE_TYPE VFT_APP)
    set(VERSION_ORIGINAL_FILENAME "${output_name}.exe")
  endif()
  set(VERSION_FILE_DESCRIPTION "${description}")
  set(VERSION_INTERNAL_NAME "${output_name}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
