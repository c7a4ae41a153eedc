# Install rules and the Debian packages.
#
#   cmake --install BUILD [--prefix P]     DESTDIR=ROOT stages under ROOT
#   scripts/package                        the .deb files, through CPack
#
# Two components, one package each:
#   plugin  vornix-sink-http: the plug-in in the agent's plug-in directory, the
#           example configuration, README and licence
#   tools   vornix-sink-http-tools: vxsink, its private copy of our libvornixd,
#           its manual page and licence
# vxreceiver is the demo's stand-in for a collector and a test tool, and stays
# in the build tree with everything else that only tests, benchmarks and fuzz
# targets use.
include(GNUInstallDirs)

# Installing never builds: build first (cmake --build), then install. The
# packaging test runs CPack on a built tree while other tests run from it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(VX_PLUGIN_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/vornixd/plugins" CACHE STRING
  "Where the plug-in is installed, for the agent to load it (relative: under the prefix)")
# Ours alone: an agent on the same machine never looks here, so our stand-in
# cannot shadow its own libvornixd.
set(VX_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/${PROJECT_NAME}")

# The plug-in finds libvornixd by its soname alone: the agent has loaded its
# own before it opens plug-ins, and a run path could only point at some other
# copy. The build tree's run path is dropped on install.
set_target_properties(vornix-sink-http PROPERTIES INSTALL_RPATH "")
install(TARGETS vornix-sink-http
  LIBRARY DESTINATION ${VX_PLUGIN_INSTALL_DIR} COMPONENT plugin)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT plugin)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright COMPONENT plugin)
install(FILES examples/sink-http.json DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT plugin)
# The example's JSON Schema, for editors.
install(FILES examples/sink-http.schema.json DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT plugin)

set(VX_MANPAGE "")
if(TARGET vxsink)
  # vxsink reaches its private libvornixd relative to itself, wherever the
  # tree is installed or unpacked.
  file(RELATIVE_PATH vx_bin_to_private
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/${PROJECT_NAME})
  set_target_properties(vxsink PROPERTIES INSTALL_RPATH "$ORIGIN/${vx_bin_to_private}")
  set_target_properties(vornixd PROPERTIES INSTALL_RPATH "")
  install(TARGETS vxsink RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(TARGETS vornixd LIBRARY DESTINATION ${VX_PRIVATE_LIBDIR} COMPONENT tools NAMELINK_SKIP)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME}-tools
    RENAME copyright COMPONENT tools)

  # The manual page is vxsink's own --help, so the two never disagree. Made
  # by running vxsink, hence not in sanitizer or cross builds, which are never
  # installed.
  find_program(VX_HELP2MAN help2man)
  if(NOT VX_SANITIZE STREQUAL "" OR CMAKE_CROSSCOMPILING)
    message(STATUS "vxsink manual page: not in this build")
  elseif(NOT VX_HELP2MAN)
    message(WARNING "help2man not found: vxsink's manual page is not built (scripts/setup installs it)")
  else()
    set(vx_man_dir ${PROJECT_BINARY_DIR}/man)
    set(VX_MANPAGE ${vx_man_dir}/vxsink.1.gz)
    if(IS_ABSOLUTE "${VX_PLUGIN_INSTALL_DIR}")
      set(VX_PLUGIN_FULL_PATH ${VX_PLUGIN_INSTALL_DIR}/libvornix-sink-http.so.0)
    else()
      set(VX_PLUGIN_FULL_PATH ${CMAKE_INSTALL_PREFIX}/${VX_PLUGIN_INSTALL_DIR}/libvornix-sink-http.so.0)
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/tools/vxsink.h2m.in ${vx_man_dir}/vxsink.h2m @ONLY)
    add_custom_command(OUTPUT ${VX_MANPAGE}
      COMMAND ${VX_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
        "--name=run the vornixd HTTP sink plug-in without the agent"
        --include=${vx_man_dir}/vxsink.h2m --output=${vx_man_dir}/vxsink.1 $<TARGET_FILE:vxsink>
      COMMAND gzip -9nkf ${vx_man_dir}/vxsink.1
      DEPENDS vxsink ${vx_man_dir}/vxsink.h2m
      COMMENT "Writing vxsink's manual page from its --help"
      VERBATIM)
    add_custom_target(vxsink_manpage ALL DEPENDS ${VX_MANPAGE})
    install(FILES ${VX_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endif()

# Packages: one per component, Debian's own file names, the dependencies
# from the libraries each one's programs need.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the vornix-sink-http authors")
set(CPACK_PACKAGE_CONTACT "the vornix-sink-http authors" CACHE STRING "Maintainer of the packages")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL plugin)
if(TARGET vxsink)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# No Debian package provides the agent's libvornixd, which the plug-in needs
# by soname: dpkg-shlibdeps finds our build's copy here, takes it for a
# private library of the package and asks no dependency for it.
get_target_property(vx_host_binary_dir vornixd BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${vx_host_binary_dir})

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_DEBIAN_PLUGIN_PACKAGE_ENHANCES vornixd)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "HTTP delivery sink plug-in for the vornixd agent
The agent loads libvornix-sink-http.so.0 and queues payloads (JSON or
MessagePack, maybe gzip-compressed) addressed to named channels; the plug-in's
own thread posts each one to every channel's URL with that channel's headers,
time limits and TLS options. Needs the agent's own libvornixd at run time.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${PROJECT_NAME}-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS ${PROJECT_NAME})
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "vxsink, a host that runs the vornixd HTTP sink without the agent
vxsink loads the plug-in as the agent does and queues payloads read from
files or standard input, to try a configuration against a real collector.
It brings its own copy of libvornixd in a private directory.")

include(CPack)

# The installed tree and the packages, run as an operator would use them.
# Sanitizer builds are never installed.
if(VX_BUILD_TESTS AND VX_SANITIZE STREQUAL "" AND TARGET vxsink AND TARGET vxreceiver)
  foreach(mode tree packages)
    add_test(NAME Install.${mode}
      COMMAND ${PROJECT_SOURCE_DIR}/tests/install_test.sh ${mode})
    set_tests_properties(Install.${mode} PROPERTIES
      LABELS package
      TIMEOUT 300
      ENVIRONMENT "VX_BUILD_DIR=${PROJECT_BINARY_DIR};VX_SOURCE_DIR=${PROJECT_SOURCE_DIR};VX_VERSION=${PROJECT_VERSION};VX_PREFIX=${CMAKE_INSTALL_PREFIX};VX_PLUGIN_DIR=${VX_PLUGIN_INSTALL_DIR};VX_BINDIR=${CMAKE_INSTALL_BINDIR};VX_PRIVATE_LIBDIR=${VX_PRIVATE_LIBDIR};VX_DOCDIR=${CMAKE_INSTALL_DOCDIR};VX_MANPAGE=${VX_MANPAGE};VX_MANDIR=${CMAKE_INSTALL_MANDIR};VX_RECEIVER=$<TARGET_FILE:vxreceiver>;CMAKE=${CMAKE_COMMAND};CPACK=${CMAKE_CPACK_COMMAND}")
  endforeach()
endif()
