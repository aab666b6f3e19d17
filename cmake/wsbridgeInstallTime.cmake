# Runs during `cmake --install`, where CMAKE_INSTALL_PREFIX is the prefix of
# this installation (also when --prefix overrides the configured one): writes
# the pkg-config file and the Python package's record of where the library
# was installed, both with the paths of this installation.
#
# Set by the caller: WSB_PC_TEMPLATE, WSB_VERSION, WSB_LIBDIR, WSB_INCLUDEDIR,
# WSB_SONAME, WSB_OUTPUT_DIR.

function(wsb_installed_path out_var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out_var} "${dir}" PARENT_SCOPE)
  else()
    set(${out_var} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

set(WSB_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(WSB_PC_VERSION "${WSB_VERSION}")
if(IS_ABSOLUTE "${WSB_LIBDIR}")
  set(WSB_PC_LIBDIR "${WSB_LIBDIR}")
else()
  set(WSB_PC_LIBDIR "\${prefix}/${WSB_LIBDIR}")
endif()
if(IS_ABSOLUTE "${WSB_INCLUDEDIR}")
  set(WSB_PC_INCLUDEDIR "${WSB_INCLUDEDIR}")
else()
  set(WSB_PC_INCLUDEDIR "\${prefix}/${WSB_INCLUDEDIR}")
endif()
configure_file("${WSB_PC_TEMPLATE}" "${WSB_OUTPUT_DIR}/wsbridge.pc" @ONLY)

wsb_installed_path(wsb_library_dir "${WSB_LIBDIR}")
set(wsb_library "${wsb_library_dir}/${WSB_SONAME}")
string(REPLACE "\\" "\\\\" wsb_library "${wsb_library}")
string(REPLACE "\"" "\\\"" wsb_library "${wsb_library}")
file(WRITE "${WSB_OUTPUT_DIR}/_location.py"
  "# Written by `cmake --install`: where this installation put the library.\n"
  "LIBRARY = \"${wsb_library}\"\n")
