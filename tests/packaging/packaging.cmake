# SPDX-License-Identifier: GPL-2.0-or-later
# Tests of installing wsbridge and using it from other projects (C through
# pkg-config and find_package, the command, Python). Included from
# tests/CMakeLists.txt.

# Debian's interpreter carries python3-pytest; another python3 first in PATH
# may not, so take the first that imports pytest.
set(WSB_PYTHON "" CACHE FILEPATH "Python interpreter with pytest, for the binding's tests")
if(NOT WSB_PYTHON)
  find_program(WSB_PYTHON3_ON_PATH NAMES python3)
  foreach(candidate ${WSB_PYTHON3_ON_PATH} /usr/bin/python3)
    if(candidate AND EXISTS "${candidate}")
      execute_process(COMMAND "${candidate}" -c "import pytest"
        RESULT_VARIABLE wsb_no_pytest OUTPUT_QUIET ERROR_QUIET)
      if(wsb_no_pytest EQUAL 0)
        set(WSB_PYTHON "${candidate}" CACHE FILEPATH
          "Python interpreter with pytest, for the binding's tests" FORCE)
        break()
      endif()
    endif()
  endforeach()
endif()

# A test reported as skipped (not passed), with the reason as its output.
function(wsb_skipped_test name reason)
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "skipped: ${reason}")
  set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "skipped: ")
endfunction()

# An instrumented library needs its sanitizer runtime loaded first, which
# neither an ordinary consumer nor the Python interpreter does: these tests
# run in the ordinary build.
set(WSB_PACKAGING_SKIP "")
if(WSB_SANITIZE OR WSB_FUZZ)
  set(WSB_PACKAGING_SKIP "a sanitizer build; run it in an ordinary build")
endif()

if(WSB_PACKAGING_SKIP)
  wsb_skipped_test(packaging_install_and_consume "${WSB_PACKAGING_SKIP}")
else()
  add_test(NAME packaging_install_and_consume
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/install_and_consume.sh
      ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR}/tests/consumer ${CMAKE_BINARY_DIR}/sample.pcap
      ${WSB_PYTHON})
  set_tests_properties(packaging_install_and_consume PROPERTIES TIMEOUT 120)
endif()

# Any python3 runs the checks below; the one the package is installed for
# is the one that matters for the installation tests.
set(WSB_CHECK_PYTHON "${WSBRIDGE_PYTHON_INTERPRETER}")
if(NOT WSB_CHECK_PYTHON)
  set(WSB_CHECK_PYTHON "${WSB_PYTHON}")
endif()

# The manual pages format without warnings, wsbridge(1) describes exactly the
# options of the command's help texts, wsbridge(3) names every export and
# error code of the header.
if(WSB_CHECK_PYTHON)
  add_test(NAME packaging_man_pages
    COMMAND ${WSB_CHECK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/man_pages.py check
      $<TARGET_FILE:wsbridge_cli> ${PROJECT_SOURCE_DIR}/include/wsbridge.h
      ${PROJECT_SOURCE_DIR}/man/wsbridge.1 ${PROJECT_SOURCE_DIR}/man/wsbridge.3)
else()
  wsb_skipped_test(packaging_man_pages "no python3")
endif()

# Every source file carries its licence identifier (tools/spdx.sh adds them).
add_test(NAME packaging_spdx COMMAND sh ${PROJECT_SOURCE_DIR}/tools/spdx.sh --check)

# The Python package installed to /usr/local (staged), as pip sees it, and
# `pip install bindings/python`; the Debian packages unpacked into a
# temporary root. Both run an installation of the build tree.
if(NOT WSB_PACKAGING_SKIP AND NOT WSBRIDGE_INSTALL_PYTHON)
  set(WSB_PYTHON_INSTALL_SKIP "the Python binding is not installed (WSBRIDGE_INSTALL_PYTHON=OFF)")
else()
  set(WSB_PYTHON_INSTALL_SKIP "${WSB_PACKAGING_SKIP}")
endif()
if(WSB_PYTHON_INSTALL_SKIP)
  wsb_skipped_test(packaging_python_install "${WSB_PYTHON_INSTALL_SKIP}")
else()
  add_test(NAME packaging_python_install
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/python_install.sh
      ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/sample.pcap
      ${WSBRIDGE_PYTHON_INTERPRETER})
  set_tests_properties(packaging_python_install PROPERTIES
    TIMEOUT 120 SKIP_REGULAR_EXPRESSION "skipped: ")
endif()
if(WSB_PACKAGING_SKIP)
  wsb_skipped_test(packaging_debian_packages "${WSB_PACKAGING_SKIP}")
elseif(NOT WSB_CHECK_PYTHON)
  wsb_skipped_test(packaging_debian_packages "no python3")
else()
  add_test(NAME packaging_debian_packages
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/debian_packages.sh
      ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/sample.pcap ${WSB_CHECK_PYTHON})
  set_tests_properties(packaging_debian_packages PROPERTIES
    TIMEOUT 300 SKIP_REGULAR_EXPRESSION "skipped: ")
endif()

# The Python binding's tests: one CTest test (one process, so one engine) per
# test module.
set(WSB_PYTHON_DIR ${PROJECT_SOURCE_DIR}/bindings/python)
file(GLOB WSB_PYTHON_TESTS CONFIGURE_DEPENDS ${WSB_PYTHON_DIR}/tests/test_*.py)
foreach(module ${WSB_PYTHON_TESTS})
  get_filename_component(name ${module} NAME_WE)
  if(WSB_PACKAGING_SKIP)
    wsb_skipped_test(python_${name} "${WSB_PACKAGING_SKIP}")
  elseif(NOT WSB_PYTHON)
    # tools/install-deps.sh installs python3-pytest.
    wsb_skipped_test(python_${name} "no Python interpreter with pytest")
  else()
    add_test(NAME python_${name}
      COMMAND ${WSB_PYTHON} -m pytest -q -p no:cacheprovider ${module})
    set_tests_properties(python_${name} PROPERTIES
      TIMEOUT 300
      ENVIRONMENT "WSBRIDGE_LIBRARY=$<TARGET_FILE:wsbridge>;PYTHONPATH=${WSB_PYTHON_DIR};PYTHONDONTWRITEBYTECODE=1;WSB_TEST_CAPTURES=${WSB_TEST_CAPTURES};WSB_SAMPLE_CAPTURE=${CMAKE_BINARY_DIR}/sample.pcap;WSB_CLI=$<TARGET_FILE:wsbridge_cli>;WSB_HEADER=${PROJECT_SOURCE_DIR}/include/wsbridge.h")
  endif()
endforeach()
