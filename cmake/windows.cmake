# Windows wiring of the module: the export list, the version resource, a
# runtime that needs no DLL beyond what every Windows has, and the test host
# with its fixture backends (run under Wine by scripts/test-windows).
enable_language(RC)

option(QUILLBRIDGE_WINDOWS_TESTS "Build the Windows test host and fixture backends" ON)

set(QB_VERSION ${PROJECT_VERSION})
set(QB_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(QB_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(QB_VERSION_PATCH ${PROJECT_VERSION_PATCH})
configure_file(${PROJECT_SOURCE_DIR}/src/plugin/version.rc.in
               ${CMAKE_BINARY_DIR}/quillbridge_version.rc @ONLY)

# The C++ runtime and libgcc go inside every Windows binary we build.
set(QB_WINDOWS_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

target_sources(Quillbridge PRIVATE
  ${PROJECT_SOURCE_DIR}/src/plugin/Quillbridge.def
  ${CMAKE_BINARY_DIR}/quillbridge_version.rc)
target_link_options(Quillbridge PRIVATE ${QB_WINDOWS_STATIC_RUNTIME})
set_target_properties(Quillbridge PROPERTIES PREFIX "" OUTPUT_NAME Quillbridge SUFFIX ".dll")

install(TARGETS Quillbridge RUNTIME DESTINATION . LIBRARY DESTINATION .)

if(QUILLBRIDGE_WINDOWS_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests-windows)
endif()
