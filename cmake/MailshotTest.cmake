# mailshot_test(<name> SOURCES ... LIBS ...)
# Natively every test case is its own CTest test. Under an emulator (Wine)
# each process start costs half a second or more, so there the whole binary
# is one CTest test.
#
# mailshot_test_environment(<test>...)
# Gives tests registered by other means (end-to-end scripts, say) what a
# Windows binary needs to start under Wine; natively they need nothing.
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  set(MAILSHOT_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the Windows tests run in")
  # The Windows build cannot link OpenSSL: its TLS tests talk to the native
  # build's scripted_server, which Wine starts as a Linux process (build the
  # native tree first; scripts/test.sh does).
  set(MAILSHOT_NATIVE_SCRIPTED_SERVER ${PROJECT_SOURCE_DIR}/build/native/tests/support/scripted_server
      CACHE FILEPATH "The native build's scripted_server, the TLS server of the Windows tests")
  # mscoree and mshtml off: otherwise a fresh prefix offers to download Mono
  # and Gecko and waits on that dialog.
  set(MAILSHOT_WINE_ENVIRONMENT
      WINEPREFIX=${MAILSHOT_WINEPREFIX}
      WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml=
      MAILSHOT_NATIVE_SCRIPTED_SERVER=${MAILSHOT_NATIVE_SCRIPTED_SERVER})
endif()

function(mailshot_test_environment)
  if(CMAKE_CROSSCOMPILING)
    set_tests_properties(${ARGN} PROPERTIES
      ENVIRONMENT "${MAILSHOT_WINE_ENVIRONMENT}"
      FIXTURES_REQUIRED wine_prefix)
  endif()
endfunction()

function(mailshot_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
    mailshot_test_environment(${name})
  else()
    # TIMEOUT guards against a hang only: the 64 MB attachment through TLS
    # took 92 s under the sanitizers on a loaded machine.
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()
