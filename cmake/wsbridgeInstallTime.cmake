# SPDX-License-Identifier: GPL-2.0-or-later
# Runs during `cmake --install` (and cpack), where CMAKE_INSTALL_PREFIX is the
# prefix of this installation (also when --prefix overrides the configured
# one): writes the pkg-config file with the paths of this installation and
# installs it.
#
# Set by the caller: WSB_PC_TEMPLATE, WSB_VERSION, WSB_LIBDIR, WSB_INCLUDEDIR,
# WSB_OUTPUT_DIR.

# Installations of one build tree may run at the same time (into different
# prefixes): each writes its file in a folder of its own.
string(RANDOM LENGTH 12 wsb_scratch_name)
set(wsb_scratch "${WSB_OUTPUT_DIR}/${wsb_scratch_name}")

set(WSB_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(WSB_PC_VERSION "${WSB_VERSION}")
if(IS_ABSOLUTE "${WSB_LIBDIR}")
  set(WSB_PC_LIBDIR "${WSB_LIBDIR}")
  set(wsb_pc_destination "${WSB_LIBDIR}/pkgconfig")
else()
  set(WSB_PC_LIBDIR "\${prefix}/${WSB_LIBDIR}")
  set(wsb_pc_destination "${CMAKE_INSTALL_PREFIX}/${WSB_LIBDIR}/pkgconfig")
endif()
if(IS_ABSOLUTE "${WSB_INCLUDEDIR}")
  set(WSB_PC_INCLUDEDIR "${WSB_INCLUDEDIR}")
else()
  set(WSB_PC_INCLUDEDIR "\${prefix}/${WSB_INCLUDEDIR}")
endif()
configure_file("${WSB_PC_TEMPLATE}" "${wsb_scratch}/wsbridge.pc" @ONLY)
file(INSTALL DESTINATION "${wsb_pc_destination}" TYPE FILE FILES "${wsb_scratch}/wsbridge.pc")
file(REMOVE_RECURSE "${wsb_scratch}")
