# SPDX-License-Identifier: GPL-2.0-or-later
# The licence of an installation and the Debian packages. Included from the
# top-level CMakeLists.txt after the install rules, whose components become
# the packages of `cpack -G DEB` (run in the build tree; `-B DIR` puts the
# packages elsewhere):
#
#   libwsbridge<soversion>  component library: libwsbridge.so.N
#   libwsbridge-dev         component development: wsbridge.h, the
#                           libwsbridge.so link, wsbridge.pc, the CMake
#                           package, wsbridge(3)
#   wsbridge                component command: the command and wsbridge(1)
#   python3-wsbridge        component python: the Python package in
#                           /usr/lib/python3/dist-packages
#
# Each has a Debian copyright file. The library's dependencies (the engine's
# libwireshark, libwiretap, libwsutil, GLib, the C++ runtime) are computed
# from the binaries by dpkg-shlibdeps; the others depend on the library of
# the same version. Packages install under /usr; a build tree configured
# with -DCMAKE_INSTALL_PREFIX=/usr also gets Debian's multiarch library
# folder (/usr/lib/<triplet>), one configured for /usr/local uses /usr/lib.

set(WSB_PACKAGE_CONTACT "wsbridge maintainers <wsbridge@localhost>" CACHE STRING
  "Maintainer named in the Debian packages")
set(WSB_PACKAGE_RELEASE "1" CACHE STRING "Debian revision of the packages")

# The licence: share/doc/wsbridge/LICENSE in an installation; a Debian package
# has its copyright file instead (the GPL's text is in
# /usr/share/common-licenses on every Debian system).
install(CODE "
  if(NOT \"\$ENV{WSB_PACKAGE_GENERATOR}\" STREQUAL \"DEB\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\" TYPE FILE
      FILES \"${CMAKE_CURRENT_SOURCE_DIR}/LICENSE\")
  endif()" COMPONENT library)

set(WSB_DEB_LIBRARY_PACKAGE libwsbridge${PROJECT_VERSION_MAJOR})
set(wsb_components library development command)
set(wsb_packages ${WSB_DEB_LIBRARY_PACKAGE} libwsbridge-dev wsbridge)
if(WSBRIDGE_INSTALL_PYTHON)
  list(APPEND wsb_components python)
  list(APPEND wsb_packages python3-wsbridge)
endif()
foreach(component package IN ZIP_LISTS wsb_components wsb_packages)
  install(CODE "
    if(\"\$ENV{WSB_PACKAGE_GENERATOR}\" STREQUAL \"DEB\")
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/doc/${package}\" TYPE FILE
        FILES \"${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/copyright\")
    endif()" COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
endforeach()

set(CPACK_PACKAGE_NAME wsbridge)
set(CPACK_PACKAGE_VENDOR "wsbridge")
set(CPACK_PACKAGE_CONTACT "${WSB_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL ${wsb_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${WSB_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the binaries; the command's libwsbridge.so.N is found in
# the build tree (its package comes from the component dependency).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Descriptions: the first line is the package's synopsis.
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
"Wireshark dissection engine behind a flat C interface (library)
wsbridge puts Wireshark's dissection engine (libwireshark) and its
capture-file library (wiretap) behind a small C interface for programs in
any language that can call C: walk a capture file packet by packet with a
fixed-layout summary per packet, look up protocol fields and their values,
build protocol trees, save chosen packets and follow TCP and UDP
conversations.
.
This package holds the shared library.")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)

set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"Wireshark dissection engine behind a flat C interface (development files)
wsbridge puts Wireshark's dissection engine behind a small C interface.
.
This package holds the header wsbridge.h, the pkg-config file, the CMake
package (find_package(wsbridge)) and the manual page wsbridge(3).")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)

set(CPACK_COMPONENT_COMMAND_DESCRIPTION
"Command-line host of the wsbridge library
The wsbridge command prints the packet summaries, field values and protocol
trees of capture files, saves chosen packets and follows TCP and UDP
conversations through the wsbridge library (the Wireshark dissection
engine). Manual page wsbridge(1).")
set(CPACK_COMPONENT_COMMAND_DEPENDS library)
set(CPACK_DEBIAN_COMMAND_PACKAGE_SECTION net)

set(CPACK_COMPONENT_PYTHON_DESCRIPTION
"Python 3 binding of the wsbridge library
The Python package wsbridge drives the wsbridge library (the Wireshark
dissection engine) through ctypes: iterate the packets of a capture, read
fields and protocol trees, save packets, follow conversations, and read
many captures in worker processes; statistics tables as DataFrames and
plots of them.")
set(CPACK_COMPONENT_PYTHON_DEPENDS library)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.7)")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pandas, python3-distributed, python3-matplotlib")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/python3-wsbridge/postinst;${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/python3-wsbridge/prerm")

# The install scripts learn from this variable that they run for a Debian
# package (the Python layout, the copyright files).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackProjectConfig.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
  "# Generated by CMake: tells the install scripts which package generator runs.\n"
  "set(ENV{WSB_PACKAGE_GENERATOR} \"\${CPACK_GENERATOR}\")\n")

include(CPack)
