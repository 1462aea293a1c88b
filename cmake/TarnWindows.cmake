# Windows target: static runtimes, so each binary imports system DLLs only; a version
# resource for each deliverable.
if(NOT WIN32)
  return()
endif()
enable_language(RC)
# libgcc, libstdc++ and winpthread go inside the binaries.
add_link_options(-static)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601)

# tarn_version_resource(TARGET NAME DESCRIPTION FILE) adds a VERSIONINFO to TARGET.
function(tarn_version_resource target name description file)
  set(TARN_RC_NAME ${name})
  set(TARN_RC_DESCRIPTION ${description})
  set(TARN_RC_FILE ${file})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(TARN_RC_FILETYPE VFT_APP)
  else()
    set(TARN_RC_FILETYPE VFT_DLL)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
