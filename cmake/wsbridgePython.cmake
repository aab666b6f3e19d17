# SPDX-License-Identifier: GPL-2.0-or-later
# Installing the Python binding (bindings/python/wsbridge, standard library
# only) the way pip would put it there: into the folder where the chosen
# interpreter looks for packages of the install prefix, with a .dist-info
# (METADATA, INSTALLER, RECORD, LICENSE) so that pip lists and uninstalls it,
# and with the library's place recorded relative to the package, so that a
# prefix moved or copied as a whole keeps working. Included from the
# top-level CMakeLists.txt; component "python".
#
#   WSBRIDGE_INSTALL_PYTHON        install it at all (ON when an interpreter
#                                  is found)
#   WSBRIDGE_PYTHON_INTERPRETER    the interpreter it is installed for: by
#                                  default the system's /usr/bin/python3, since
#                                  an installation under a system prefix is for
#                                  the system's interpreter (an interpreter of
#                                  one's own, pyenv or a virtual environment,
#                                  takes it through pip install bindings/python)
#   WSBRIDGE_PYTHON_INSTALL_DIR    a folder relative to the prefix (or
#                                  absolute) that overrides the interpreter's
#
# The folder for prefix /usr is /usr/lib/python3/dist-packages with Debian's
# interpreter, /usr/local/lib/python3.X/dist-packages for /usr/local, the
# environment's site-packages for a virtual environment's folder, and
# PREFIX/lib/python3.X/site-packages for any other prefix (which PYTHONPATH
# then names). The Debian package always uses /usr/lib/python3/dist-packages.

find_program(WSBRIDGE_PYTHON_INTERPRETER NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH
  DOC "Python interpreter whose site folder receives the wsbridge package")
find_program(WSBRIDGE_PYTHON_INTERPRETER NAMES python3
  DOC "Python interpreter whose site folder receives the wsbridge package")
if(WSBRIDGE_PYTHON_INTERPRETER)
  set(wsb_python_default ON)
else()
  set(wsb_python_default OFF)
  message(STATUS "No python3 found: the Python binding is not installed")
endif()
option(WSBRIDGE_INSTALL_PYTHON "Install the Python binding" ${wsb_python_default})
# Build trees configured by an earlier version cached that version's fixed
# default, lib/python3/dist-packages: the interpreter chooses now.
get_property(wsb_doc CACHE WSBRIDGE_PYTHON_INSTALL_DIR PROPERTY HELPSTRING)
if(wsb_doc STREQUAL "Where the Python package goes, relative to the prefix"
   AND WSBRIDGE_PYTHON_INSTALL_DIR STREQUAL "lib/python3/dist-packages")
  unset(WSBRIDGE_PYTHON_INSTALL_DIR CACHE)
endif()
set(WSBRIDGE_PYTHON_INSTALL_DIR "" CACHE STRING
  "Folder of the Python package, relative to the prefix; empty: the interpreter's site folder for the prefix")

if(WSBRIDGE_INSTALL_PYTHON)
  if(NOT WSBRIDGE_PYTHON_INTERPRETER)
    message(FATAL_ERROR "WSBRIDGE_INSTALL_PYTHON needs WSBRIDGE_PYTHON_INTERPRETER (a python3)")
  endif()
  # METADATA: the fields setuptools writes from bindings/python/pyproject.toml
  # (tests/packaging/python_install.sh compares them), then the package's README.
  set(WSB_PYTHON_METADATA ${CMAKE_CURRENT_BINARY_DIR}/python/METADATA)
  configure_file(cmake/python_METADATA.in ${WSB_PYTHON_METADATA}.head @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS bindings/python/README.md)
  file(READ ${WSB_PYTHON_METADATA}.head wsb_metadata_head)
  file(READ bindings/python/README.md wsb_metadata_readme)
  file(WRITE ${WSB_PYTHON_METADATA} "${wsb_metadata_head}\n${wsb_metadata_readme}")

  install(CODE "
    set(WSB_PYTHON \"${WSBRIDGE_PYTHON_INTERPRETER}\")
    set(WSB_PYTHON_HELPER \"${CMAKE_CURRENT_SOURCE_DIR}/cmake/python_install.py\")
    set(WSB_PYTHON_SOURCE \"${CMAKE_CURRENT_SOURCE_DIR}/bindings/python/wsbridge\")
    set(WSB_PYTHON_INSTALL_DIR \"${WSBRIDGE_PYTHON_INSTALL_DIR}\")
    set(WSB_PYTHON_METADATA \"${WSB_PYTHON_METADATA}\")
    set(WSB_LICENSE \"${CMAKE_CURRENT_SOURCE_DIR}/LICENSE\")
    set(WSB_VERSION \"${PROJECT_VERSION}\")
    set(WSB_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(WSB_SONAME \"$<TARGET_SONAME_FILE_NAME:wsbridge>\")
    set(WSB_OUTPUT_DIR \"${CMAKE_CURRENT_BINARY_DIR}/install-time\")
    include(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/wsbridgePythonInstall.cmake\")" COMPONENT python)
endif()
