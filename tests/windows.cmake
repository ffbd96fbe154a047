set(VELMOR_RUN_DIR "${CMAKE_BINARY_DIR}/test-run")
set(VELMOR_HARNESS_DIR "${CMAKE_CURRENT_SOURCE_DIR}/harness")
set(VELMOR_TEST_PORT 47443 CACHE STRING "Loopback port of the HTTPS server that the test build of the installer uses")

# Every cross-built test program runs under Wine in the run's prefix and display.
set(CMAKE_CROSSCOMPILING_EMULATOR "${VELMOR_HARNESS_DIR}/wine-run;${VELMOR_RUN_DIR}")

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)

# The test setup program, which also carries the harness's helper commands, and a DLL to plant beside the installer.
set(VELMOR_TOOLS_DIR "${CMAKE_CURRENT_BINARY_DIR}/tools")
add_executable(fake_setup WIN32 harness/tools/fake_setup.cpp)
target_link_options(fake_setup PRIVATE -municode)
target_link_libraries(fake_setup PRIVATE crypt32)
add_library(planted_dll SHARED harness/tools/planted_dll.c)
set_target_properties(fake_setup planted_dll PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY "${VELMOR_TOOLS_DIR}")

# The installer as designed, one download attempt, but fetching from the test server on this machine; the same for
# another channel; and with the three attempts recommended for a release.
set(test_hosts "localhost:${VELMOR_TEST_PORT}" "support.localhost:${VELMOR_TEST_PORT}")
velmor_add_installer(VelmorInstallerUnderTest ${test_hosts} 1 ATTEMPTS 1)
velmor_add_installer(VelmorInstallerChannel42 ${test_hosts} 42 ATTEMPTS 1)
velmor_add_installer(VelmorInstallerRetryUnderTest ${test_hosts} 1 ATTEMPTS 3)

# The same installer without its background bitmap, from a copy of the resource script without it.
file(READ "${PROJECT_SOURCE_DIR}/resources/installer.rc" resources)
string(REGEX REPLACE "\n102 BITMAP [^\n]*" "" resources_without_background "${resources}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/resources/installer.rc")
file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/without_background.rc" CONTENT "${resources_without_background}")
add_executable(VelmorInstallerWithoutBackground WIN32 "${PROJECT_SOURCE_DIR}/app/main.cpp"
    "${CMAKE_CURRENT_BINARY_DIR}/without_background.rc" $<TARGET_OBJECTS:VelmorInstallerUnderTest_hosts>)
target_include_directories(VelmorInstallerWithoutBackground PRIVATE "${PROJECT_SOURCE_DIR}/resources")
target_link_libraries(VelmorInstallerWithoutBackground PRIVATE velmor)
target_link_options(VelmorInstallerWithoutBackground PRIVATE -municode -mwindows -Wl,--gc-sections -s)

# The same, pinned to the test publisher, whose key is made once per build tree. The first pin stands for a key the
# publisher no longer signs with, so that the list is searched past its first entry.
set(VELMOR_TEST_PUBLISHER_DIR "${CMAKE_BINARY_DIR}/test-publisher")
execute_process(COMMAND "${VELMOR_HARNESS_DIR}/make-test-pki" --publisher "${VELMOR_TEST_PUBLISHER_DIR}"
                COMMAND_ERROR_IS_FATAL ANY)
file(STRINGS "${VELMOR_TEST_PUBLISHER_DIR}/publisher.sha256" publisher_key LIMIT_COUNT 1)
velmor_add_installer(VelmorInstallerPinned ${test_hosts} 1 SIGNER "Velmor Test Publisher"
    KEYS "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855,${publisher_key}" ATTEMPTS 1)

add_executable(unit_tests ${VELMOR_UNIT_TEST_SOURCES})
target_link_libraries(unit_tests PRIVATE velmor gtest gtest_main)

add_executable(windows_tests windows/download_test.cpp windows/paint_test.cpp windows/registration_test.cpp
    windows/window_test.cpp "${PROJECT_SOURCE_DIR}/resources/installer.rc"
    $<TARGET_OBJECTS:VelmorInstallerUnderTest_hosts>)
target_link_libraries(windows_tests PRIVATE velmor gtest gtest_main)

# One run: display, prefix, certificates. Every test below needs it.
add_test(NAME run_setup COMMAND "${VELMOR_HARNESS_DIR}/run-setup" "${VELMOR_RUN_DIR}" "${VELMOR_TOOLS_DIR}")
add_test(NAME run_teardown COMMAND "${VELMOR_HARNESS_DIR}/run-teardown" "${VELMOR_RUN_DIR}")
set_tests_properties(run_setup PROPERTIES FIXTURES_SETUP wine_run)
set_tests_properties(run_teardown PROPERTIES FIXTURES_CLEANUP wine_run)

# The test programs are found in VELMOR_TEST_BUILD by their target names.
function(velmor_wine_test name)
    add_test(NAME ${name} ${ARGN})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_run RUN_SERIAL ON
        ENVIRONMENT "VELMOR_RUN_DIR=${VELMOR_RUN_DIR};VELMOR_TOOLS_DIR=${VELMOR_TOOLS_DIR};\
VELMOR_TEST_BUILD=${CMAKE_CURRENT_BINARY_DIR};VELMOR_TEST_PORT=${VELMOR_TEST_PORT};\
VELMOR_TEST_PUBLISHER_DIR=${VELMOR_TEST_PUBLISHER_DIR};VELMOR_FAULTS_TABLE=${CMAKE_BINARY_DIR}/faults.md;\
PYTHONDONTWRITEBYTECODE=1")
endfunction()

velmor_wine_test(unit_tests COMMAND unit_tests)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    velmor_wine_test(download
        COMMAND python3 "${VELMOR_HARNESS_DIR}/with_server.py" --
                "${VELMOR_HARNESS_DIR}/wine-run" "${VELMOR_RUN_DIR}" $<TARGET_FILE:windows_tests>
                --gtest_filter=Download*)
    velmor_wine_test(window COMMAND windows_tests --gtest_filter=-Download*)
    set(gtest_entries unit_tests download window)
    set(installer_suites choice flow window faults hardening retry)
else()
    # The x86 build is the same code as the x64 build, whose preset runs every test. Here run the tests that would
    # see a 32-bit process differ: the registry views, the System32 it loads from, the DLLs it delay-loads and the
    # program it starts, through the whole installer; and its own painting and registration.
    velmor_wine_test(window COMMAND windows_tests
        --gtest_filter=RegistrationTest.*:Paint.BarShowsTrackAndFillForTheProgress)
    set(gtest_entries unit_tests window)
    set(installer_suites choice flow.HappyPath flow.FailedDownload flow.FailedStart hardening.PlantedDlls
        hardening.PinnedPublisher)
endif()
# A program that dies under Wine (a stack overflow, say) may still exit with 0: these pass only when GoogleTest
# itself says so at the end.
set_tests_properties(${gtest_entries} PROPERTIES
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ tests?\\."
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")

# installer_<suite>_test, or one of its test classes (suite.Class).
foreach(suite IN LISTS installer_suites)
    string(REGEX REPLACE "^([a-z]+)" "installer_\\1_test" name "${suite}")
    velmor_wine_test(installer_${suite}
        COMMAND python3 -m unittest -v "${name}"
        WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/integration")
endforeach()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # scripts/release from a copy of the source, with the hosts, channel and version of this build: it must give
    # this build's VelmorInstaller.exe, signed.
    velmor_wine_test(release
        COMMAND python3 -m unittest -v release_test
        WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/integration")
    set_property(TEST release APPEND PROPERTY ENVIRONMENT "VELMOR_SHIPPED_INSTALLER=$<TARGET_FILE:VelmorInstaller>"
        "VELMOR_VERSION=${VELMOR_VERSION}" "VELMOR_DISTRIBUTOR_ID=${VELMOR_DISTRIBUTOR_ID}"
        "VELMOR_DOWNLOAD_HOST=${VELMOR_DOWNLOAD_HOST}" "VELMOR_SUPPORT_HOST=${VELMOR_SUPPORT_HOST}"
        "VELMOR_RELEASE_ARCH=x64")
endif()

# What ships imports nothing but Windows' KnownDLLs (every other DLL is delay-loaded), and its manifest names its own
# architecture.
add_test(NAME imports COMMAND python3 "${CMAKE_CURRENT_SOURCE_DIR}/check_imports.py" "${CMAKE_OBJDUMP}"
    $<TARGET_FILE:VelmorInstaller> $<TARGET_FILE:VelmorInstallerUnderTest> $<TARGET_FILE:VelmorInstallerPinned>)
