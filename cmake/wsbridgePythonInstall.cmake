# SPDX-License-Identifier: GPL-2.0-or-later
# Runs during `cmake --install` (and cpack) for the component "python", where
# CMAKE_INSTALL_PREFIX is the prefix of this installation and DESTDIR, when
# set, the staging folder in front of it. Installs the package
# wsbridge/*.py, its _location.py (the library's place relative to the
# package, and the version) and wsbridge-VERSION.dist-info.
#
# Set by the caller: WSB_PYTHON, WSB_PYTHON_HELPER, WSB_PYTHON_SOURCE,
# WSB_PYTHON_INSTALL_DIR, WSB_PYTHON_METADATA, WSB_LICENSE, WSB_VERSION,
# WSB_LIBDIR, WSB_SONAME, WSB_OUTPUT_DIR.

# The Debian package (cmake/wsbridgePackaging.cmake names the generator)
# follows Debian's layout for Python 3 modules and leaves the files to dpkg.
set(wsb_debian_package OFF)
if("$ENV{WSB_PACKAGE_GENERATOR}" STREQUAL "DEB")
  set(wsb_debian_package ON)
endif()

get_filename_component(wsb_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
if(WSB_PYTHON_INSTALL_DIR)
  if(IS_ABSOLUTE "${WSB_PYTHON_INSTALL_DIR}")
    set(wsb_site "${WSB_PYTHON_INSTALL_DIR}")
  else()
    set(wsb_site "${wsb_prefix}/${WSB_PYTHON_INSTALL_DIR}")
  endif()
elseif(wsb_debian_package)
  set(wsb_site "${wsb_prefix}/lib/python3/dist-packages")
else()
  execute_process(COMMAND "${WSB_PYTHON}" "${WSB_PYTHON_HELPER}" site "${wsb_prefix}"
    OUTPUT_VARIABLE wsb_site OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE wsb_status)
  if(NOT wsb_status EQUAL 0 OR wsb_site STREQUAL "")
    message(FATAL_ERROR "${WSB_PYTHON} could not name its site folder for ${wsb_prefix}")
  endif()
endif()
message(STATUS "Python package for ${WSB_PYTHON}: ${wsb_site}")

set(wsb_package "${wsb_site}/wsbridge")
set(wsb_dist_info_name "wsbridge-${WSB_VERSION}.dist-info")
set(wsb_dist_info "${wsb_site}/${wsb_dist_info_name}")

# Another version installed here before: its metadata goes, as pip's
# upgrade removes it (the package's own files are replaced below).
file(GLOB wsb_old_dist_infos "$ENV{DESTDIR}${wsb_site}/wsbridge-*.dist-info")
foreach(old ${wsb_old_dist_infos})
  get_filename_component(old_name "${old}" NAME)
  if(NOT old_name STREQUAL wsb_dist_info_name)
    message(STATUS "Removing: ${old}")
    file(REMOVE_RECURSE "${old}")
  endif()
endforeach()

file(GLOB wsb_modules "${WSB_PYTHON_SOURCE}/*.py")
list(FILTER wsb_modules EXCLUDE REGEX "/_location\\.py$")
file(INSTALL DESTINATION "${wsb_package}" TYPE FILE FILES ${wsb_modules})

# Installations of one build tree may run at the same time (into different
# prefixes): each writes its files in a folder of its own.
string(RANDOM LENGTH 12 wsb_scratch_name)
set(wsb_scratch "${WSB_OUTPUT_DIR}/${wsb_scratch_name}")

# The library's place: relative to the package's folder when both lie under
# the prefix, so that the prefix can move; else absolute.
if(IS_ABSOLUTE "${WSB_LIBDIR}")
  set(wsb_library "${WSB_LIBDIR}/${WSB_SONAME}")
else()
  set(wsb_library "${wsb_prefix}/${WSB_LIBDIR}/${WSB_SONAME}")
endif()
string(FIND "${wsb_package}/" "${wsb_prefix}/" wsb_package_in_prefix)
string(FIND "${wsb_library}" "${wsb_prefix}/" wsb_library_in_prefix)
if(wsb_package_in_prefix EQUAL 0 AND wsb_library_in_prefix EQUAL 0)
  file(RELATIVE_PATH wsb_library "${wsb_package}" "${wsb_library}")
endif()
string(REPLACE "\\" "\\\\" wsb_library "${wsb_library}")
string(REPLACE "\"" "\\\"" wsb_library "${wsb_library}")
file(WRITE "${wsb_scratch}/_location.py"
  "# Written by `cmake --install`: where this installation put the library,\n"
  "# relative to this folder when both lie under the installation's prefix,\n"
  "# and the package's version (the library's).\n"
  "LIBRARY = \"${wsb_library}\"\n"
  "VERSION = \"${WSB_VERSION}\"\n")
file(INSTALL DESTINATION "${wsb_package}" TYPE FILE FILES "${wsb_scratch}/_location.py")

# The distribution's metadata, as a wheel installs it. A Debian package
# carries no RECORD: dpkg owns the files, and pip then says so instead of
# removing them.
if(wsb_debian_package)
  set(wsb_installer "dpkg")
else()
  set(wsb_installer "cmake")
endif()
file(WRITE "${wsb_scratch}/INSTALLER" "${wsb_installer}\n")
file(INSTALL DESTINATION "${wsb_dist_info}" TYPE FILE
  FILES "${WSB_PYTHON_METADATA}" "${wsb_scratch}/INSTALLER" "${WSB_LICENSE}")
file(REMOVE_RECURSE "${wsb_scratch}")

if(NOT wsb_debian_package)
  set(wsb_recorded "")
  foreach(module ${wsb_modules} "_location.py")
    get_filename_component(name "${module}" NAME)
    list(APPEND wsb_recorded "wsbridge/${name}")
  endforeach()
  foreach(name METADATA INSTALLER LICENSE)
    list(APPEND wsb_recorded "${wsb_dist_info_name}/${name}")
  endforeach()
  execute_process(COMMAND "${WSB_PYTHON}" "${WSB_PYTHON_HELPER}" record
      "$ENV{DESTDIR}${wsb_site}" "${wsb_dist_info_name}" ${wsb_recorded}
    RESULT_VARIABLE wsb_status)
  if(NOT wsb_status EQUAL 0)
    message(FATAL_ERROR "Could not write ${wsb_dist_info}/RECORD")
  endif()
  message(STATUS "Installing: $ENV{DESTDIR}${wsb_dist_info}/RECORD")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${wsb_dist_info}/RECORD")
endif()
