# The version is written once, in project(): the plug-in's identity answer,
# vxsink --version, the manual page and the packages all take it from here.
configure_file(${CMAKE_CURRENT_LIST_DIR}/vx_version.h.in
  ${PROJECT_BINARY_DIR}/generated/vx_version.h @ONLY)
add_library(vornix-version INTERFACE)
add_library(vornix::version ALIAS vornix-version)
target_include_directories(vornix-version INTERFACE ${PROJECT_BINARY_DIR}/generated)
