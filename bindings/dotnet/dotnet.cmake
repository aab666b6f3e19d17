# SPDX-License-Identifier: GPL-2.0-or-later
# The C#/.NET binding (bindings/dotnet), included from the top CMakeLists.txt.
#
# When the dotnet command is found, the binding is built with the rest into
# BUILD/dotnet (restore and build output included: nothing is written into
# the source tree), with the NuGet package BUILD/dotnet/packages/
# Wsbridge.VERSION.nupkg that carries this build's libwsbridge.so; with the
# tests (BUILD_TESTING) its xunit tests and their scenario program are built
# too, and CTest runs them one test class per process (the engine starts
# once per process). Without dotnet, or in a sanitizer build, those tests
# are reported as skipped with the reason.
#
# Restore reads bindings/dotnet/NuGet.Config: the machine's package folder
# for the test packages, nuget.org (or the copy of it the machine is given)
# for the rest.

option(WSB_DOTNET "Build the C# binding and its NuGet package when dotnet is found" ON)
set(WSB_REPOSITORY_URL "" CACHE STRING
  "The project's repository address for the NuGet package (else the clone's origin remote, if any)")
find_program(WSB_DOTNET_EXECUTABLE dotnet)

set(WSB_DOTNET_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(WSB_DOTNET_OUTPUT ${CMAKE_BINARY_DIR}/dotnet)
set(WSB_DOTNET_CLASSES NativeTests ApiTests OracleTests LifecycleTests PackageTests)

set(WSB_DOTNET_SKIP "")
if(NOT WSB_DOTNET)
  set(WSB_DOTNET_SKIP "WSB_DOTNET is OFF")
elseif(NOT WSB_DOTNET_EXECUTABLE)
  set(WSB_DOTNET_SKIP "no dotnet command (the .NET SDK, 8 or later, builds the C# binding)")
elseif(WSB_SANITIZE OR WSB_FUZZ)
  # An instrumented library needs its sanitizer runtime loaded first.
  set(WSB_DOTNET_SKIP "a sanitizer build; run it in an ordinary build")
endif()

if(WSB_DOTNET_SKIP)
  message(STATUS "C# binding not built: ${WSB_DOTNET_SKIP}")
  if(BUILD_TESTING)
    foreach(class ${WSB_DOTNET_CLASSES})
      add_test(NAME dotnet_${class} COMMAND ${CMAKE_COMMAND} -E echo "skipped: ${WSB_DOTNET_SKIP}")
      set_tests_properties(dotnet_${class} PROPERTIES SKIP_REGULAR_EXPRESSION "skipped: ")
    endforeach()
  endif()
  return()
endif()

file(GLOB_RECURSE WSB_DOTNET_SOURCES CONFIGURE_DEPENDS
  ${WSB_DOTNET_SOURCE_DIR}/*.cs ${WSB_DOTNET_SOURCE_DIR}/*.csproj ${WSB_DOTNET_SOURCE_DIR}/*.props)
list(APPEND WSB_DOTNET_SOURCES ${WSB_DOTNET_SOURCE_DIR}/NuGet.Config ${WSB_DOTNET_SOURCE_DIR}/README.md)

set(WSB_DOTNET_ENV ${CMAKE_COMMAND} -E env DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
  DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1)
set(WSB_DOTNET_PROPERTIES -c Release -nologo -p:WsbOutputRoot=${WSB_DOTNET_OUTPUT}/
  -p:WsbNativeLibrary=$<TARGET_FILE:wsbridge> -p:WsbVersion=${PROJECT_VERSION})
if(WSB_WERROR)
  list(APPEND WSB_DOTNET_PROPERTIES -p:WsbWarningsAsErrors=true)
endif()
if(WSB_REPOSITORY_URL)
  list(APPEND WSB_DOTNET_PROPERTIES -p:WsbRepositoryUrl=${WSB_REPOSITORY_URL})
endif()
# The tests build the library and the scenario program through their
# project references; without tests only the library is built.
if(BUILD_TESTING)
  set(WSB_DOTNET_PROJECT ${WSB_DOTNET_SOURCE_DIR}/tests/Wsbridge.Tests/Wsbridge.Tests.csproj)
else()
  set(WSB_DOTNET_PROJECT ${WSB_DOTNET_SOURCE_DIR}/src/Wsbridge/Wsbridge.csproj)
endif()
set(WSB_DOTNET_PACKAGE ${WSB_DOTNET_OUTPUT}/packages/Wsbridge.${PROJECT_VERSION}.nupkg)

add_custom_command(OUTPUT ${WSB_DOTNET_OUTPUT}/built.stamp ${WSB_DOTNET_PACKAGE}
  COMMAND ${WSB_DOTNET_ENV} ${WSB_DOTNET_EXECUTABLE} build ${WSB_DOTNET_PROJECT} ${WSB_DOTNET_PROPERTIES}
  COMMAND ${WSB_DOTNET_ENV} ${WSB_DOTNET_EXECUTABLE} pack ${WSB_DOTNET_SOURCE_DIR}/src/Wsbridge/Wsbridge.csproj
          --no-build ${WSB_DOTNET_PROPERTIES} -o ${WSB_DOTNET_OUTPUT}/packages
  COMMAND ${CMAKE_COMMAND} -E touch ${WSB_DOTNET_OUTPUT}/built.stamp
  DEPENDS wsbridge ${WSB_DOTNET_SOURCES}
  WORKING_DIRECTORY ${WSB_DOTNET_OUTPUT}
  COMMENT "Building the C# binding and its NuGet package"
  VERBATIM)
file(MAKE_DIRECTORY ${WSB_DOTNET_OUTPUT})
add_custom_target(wsbridge_dotnet ALL DEPENDS ${WSB_DOTNET_OUTPUT}/built.stamp)

if(BUILD_TESTING)
  set(WSB_DOTNET_TESTS ${WSB_DOTNET_OUTPUT}/bin/Wsbridge.Tests/Release/net10.0/Wsbridge.Tests.dll)
  foreach(class ${WSB_DOTNET_CLASSES})
    add_test(NAME dotnet_${class}
      COMMAND ${WSB_DOTNET_EXECUTABLE} test ${WSB_DOTNET_TESTS} --nologo
              --filter FullyQualifiedName~Wsbridge.Tests.${class}.
      WORKING_DIRECTORY ${WSB_DOTNET_OUTPUT})
    set_tests_properties(dotnet_${class} PROPERTIES
      TIMEOUT 600
      ENVIRONMENT "DOTNET_CLI_TELEMETRY_OPTOUT=1;DOTNET_NOLOGO=1;DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1;WSB_SOURCE_DIR=${PROJECT_SOURCE_DIR};WSB_BUILD_DIR=${CMAKE_BINARY_DIR};WSB_TEST_CAPTURES=${WSB_TEST_CAPTURES};WSB_SAMPLE_CAPTURE=${CMAKE_BINARY_DIR}/sample.pcap;WSB_CLI=$<TARGET_FILE:wsbridge_cli>;WSB_LIBRARY_FILE=$<TARGET_FILE:wsbridge>")
  endforeach()
endif()
