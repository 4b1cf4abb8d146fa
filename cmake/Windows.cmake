# Cross build for Windows with mingw-w64: the product DLL, its test components and the
# test executables, for i686 (the product) and x86_64.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TARGET_TRIPLET x86_64-w64-mingw32)
  set(WIDL_BITS -m64)
else()
  set(TARGET_TRIPLET i686-w64-mingw32)
  set(WIDL_BITS -m32)
endif()

# Everything that includes Windows or Crypto++ headers sees the same target version:
# Windows 7 keeps Crypto++ on CryptoAPI for its random pool.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
                       )
add_compile_options(-Wall -Wextra)
# No libstdc++, libgcc or winpthread DLLs beside the product.
add_link_options(-static -static-libgcc -static-libstdc++)
# The release product carries no symbols.
add_link_options($<$<CONFIG:Release>:-s>)
# 32-bit stdcall functions are exported as `Name@N` unless told otherwise, and
# GetProcAddress(module, "DllRegisterServer") then finds nothing: every DLL built here
# exports its plain names.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_link_options($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>:-Wl,--kill-at>)
endif()

set(CORVANE_CACHE_ROOT "$ENV{HOME}/.cache/corvane-installer" CACHE PATH "Where scripts/setup keeps what it built")
# Named as scripts/setup names it: the version and the hash of the subset's build file, so a
# tree never links a build made from another subset.
file(SHA256 "${PROJECT_SOURCE_DIR}/cmake/cryptopp/CMakeLists.txt" cryptopp_subset_hash)
string(SUBSTRING "${cryptopp_subset_hash}" 0 8 cryptopp_subset_hash)
unset(CRYPTOPP_PREFIX CACHE)
set(CRYPTOPP_PREFIX "${CORVANE_CACHE_ROOT}/cryptopp-8.7.0+git220824-1-${cryptopp_subset_hash}-${TARGET_TRIPLET}")
if(NOT EXISTS "${CRYPTOPP_PREFIX}/lib/libcryptopp.a")
  message(FATAL_ERROR "Crypto++ for ${TARGET_TRIPLET} not found in ${CRYPTOPP_PREFIX}; run scripts/setup")
endif()
add_library(cryptopp STATIC IMPORTED GLOBAL)
set_target_properties(cryptopp PROPERTIES
  IMPORTED_LOCATION "${CRYPTOPP_PREFIX}/lib/libcryptopp.a"
  INTERFACE_INCLUDE_DIRECTORIES "${CRYPTOPP_PREFIX}/include"
  INTERFACE_LINK_LIBRARIES "advapi32")

include("${CMAKE_CURRENT_LIST_DIR}/VersionInfo.cmake")

find_program(WIDL ${TARGET_TRIPLET}-widl REQUIRED)
set(WINE_IDL_DIR /usr/include/wine/wine/windows)
set(WINE_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)

# Compiles an IDL file into a header, an IID file and a type library. widl must be
# silent: one of its warnings hides a corrupted LIBID.
function(compile_idl idl_file out_prefix)
  set(header "${out_prefix}.h")
  set(iids "${out_prefix}_i.c")
  set(tlb "${out_prefix}.tlb")
  add_custom_command(
    OUTPUT "${header}" "${iids}" "${tlb}"
    COMMAND ${CMAKE_COMMAND} -DWIDL=${WIDL} -DBITS=${WIDL_BITS} -DIDL_DIR=${WINE_IDL_DIR}
            -DSTDOLE_DIR=${WINE_STDOLE_DIR} -DIDL=${idl_file} -DHEADER=${header} -DIIDS=${iids} -DTLB=${tlb}
            -P "${PROJECT_SOURCE_DIR}/cmake/RunWidl.cmake"
    DEPENDS "${idl_file}" "${PROJECT_SOURCE_DIR}/cmake/RunWidl.cmake"
    COMMENT "widl ${idl_file}")
endfunction()


# image-list.txt at the top of the tree: every DLL and EXE the project builds here, for
# tests/build/image_checks.py. Written once every folder has defined its targets.
function(collect_image_targets directory out_var)
  set(images)
  get_property(targets DIRECTORY "${directory}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(excluded ${target} EXCLUDE_FROM_ALL)
    if(type MATCHES "^(SHARED_LIBRARY|EXECUTABLE)$" AND NOT excluded)
      get_target_property(source_dir ${target} SOURCE_DIR)
      file(RELATIVE_PATH source_dir "${PROJECT_SOURCE_DIR}" "${source_dir}")
      list(APPEND images "${type}\t${target}\t${source_dir}\t$<TARGET_FILE:${target}>\n")
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY "${directory}" PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    collect_image_targets("${subdirectory}" nested)
    list(APPEND images ${nested})
  endforeach()
  set(${out_var} ${images} PARENT_SCOPE)
endfunction()
function(write_image_list)
  collect_image_targets("${PROJECT_SOURCE_DIR}" images)
  string(JOIN "" content "triplet ${TARGET_TRIPLET}\n" ${images})
  file(GENERATE OUTPUT "${PROJECT_BINARY_DIR}/image-list.txt" CONTENT "${content}")
endfunction()
cmake_language(DEFER DIRECTORY "${PROJECT_SOURCE_DIR}" CALL write_image_list)
