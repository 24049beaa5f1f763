# Windows wiring of the module: the export list, the version resources, a
# runtime that needs no DLL beyond what every Windows has, reproducible
# release binaries, and the test host with its fixture backends (run under
# Wine by scripts/test-windows). The host tool and the sample backend are
# wired in their own folders.
enable_language(RC)

option(QUILLBRIDGE_WINDOWS_TESTS "Build the Windows test host and fixture backends" ON)

set(QB_VERSION ${PROJECT_VERSION})
set(QB_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(QB_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(QB_VERSION_PATCH ${PROJECT_VERSION_PATCH})
# One version resource per shipped file, from one template.
function(quillbridge_version_resource output file_name file_type description)
  set(QB_ORIGINAL_FILENAME ${file_name})
  set(QB_FILE_TYPE ${file_type})
  set(QB_FILE_DESCRIPTION ${description})
  configure_file(${PROJECT_SOURCE_DIR}/src/plugin/version.rc.in ${output} @ONLY)
endfunction()
quillbridge_version_resource(${CMAKE_BINARY_DIR}/quillbridge_version.rc
  Quillbridge.dll VFT_DLL "Quillbridge plug-in module")
quillbridge_version_resource(${CMAKE_BINARY_DIR}/quillbridge-host_version.rc
  quillbridge-host.exe VFT_APP "Quillbridge host tool")

# The C++ runtime and libgcc go inside every Windows binary we build.
set(QB_WINDOWS_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
# Shipped binaries: no link time in the PE header, so that the same sources
# give the same bytes; and in release builds no debug sections (the static
# runtime brings its own), while the symbol table stays for the DLL check.
set(QB_WINDOWS_RELEASE_LINK -Wl,--no-insert-timestamp $<$<CONFIG:Release>:-Wl,--strip-debug>)

target_sources(Quillbridge PRIVATE
  ${PROJECT_SOURCE_DIR}/src/plugin/Quillbridge.def
  ${CMAKE_BINARY_DIR}/quillbridge_version.rc)
target_link_options(Quillbridge PRIVATE ${QB_WINDOWS_STATIC_RUNTIME} ${QB_WINDOWS_RELEASE_LINK})
set_target_properties(Quillbridge PROPERTIES PREFIX "" OUTPUT_NAME Quillbridge SUFFIX ".dll")

install(TARGETS Quillbridge RUNTIME DESTINATION . LIBRARY DESTINATION .)

if(QUILLBRIDGE_WINDOWS_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests-windows)
endif()
