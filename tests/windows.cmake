set(VELMOR_RUN_DIR "${CMAKE_BINARY_DIR}/test-run")
set(VELMOR_HARNESS_DIR "${CMAKE_CURRENT_SOURCE_DIR}/harness")
set(VELMOR_WINE_DIR "${PROJECT_SOURCE_DIR}/wine")
set(VELMOR_TEST_PORT 47443 CACHE STRING "Loopback port of the HTTPS server that the test build of the installer uses")

# Every cross-built test program runs under Wine in the run's prefix and display.
set(CMAKE_CROSSCOMPILING_EMULATOR "${VELMOR_WINE_DIR}/wine-run;${VELMOR_RUN_DIR}")

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)

# The tests' helper commands (message boxes, tampering, a scanner's hold), and a DLL to plant beside the installer;
# beside the Wine environment's programs (wine/).
add_executable(test_helper WIN32 harness/tools/test_helper.cpp)
target_include_directories(test_helper PRIVATE "${PROJECT_SOURCE_DIR}")
target_link_options(test_helper PRIVATE -municode)
target_link_libraries(test_helper PRIVATE oleacc ole32 oleaut32)
add_library(planted_dll SHARED harness/tools/planted_dll.c)
set_target_properties(test_helper planted_dll PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY "${VELMOR_TOOLS_DIR}")

# The installer as designed, one download attempt, but fetching from the test server on this machine; the same for
# another channel; and with the three attempts recommended for a release.
set(test_hosts "localhost:${VELMOR_TEST_PORT}" "support.localhost:${VELMOR_TEST_PORT}")
velmor_add_installer(VelmorInstallerUnderTest ${test_hosts} 1 ATTEMPTS 1)
velmor_add_installer(VelmorInstallerChannel42 ${test_hosts} 42 ATTEMPTS 1)
velmor_add_installer(VelmorInstallerRetryUnderTest ${test_hosts} 1 ATTEMPTS 3)
# The same with the field options a release should have: the user's Internet Options proxy, the diagnostics log and
# three attempts.
velmor_add_installer(VelmorInstallerField ${test_hosts} 1 ATTEMPTS 3 PROXY system LOG ON)

# The same installer without its background bitmap, from a copy of the resource script without it.
file(READ "${VELMOR_INSTALLER_RC}" resources)
string(REGEX REPLACE "\n102 BITMAP [^\n]*" "" resources_without_background "${resources}")
file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/without_background.rc" CONTENT "${resources_without_background}")
add_executable(VelmorInstallerWithoutBackground WIN32 "${PROJECT_SOURCE_DIR}/app/main.cpp"
    "${CMAKE_CURRENT_BINARY_DIR}/without_background.rc" $<TARGET_OBJECTS:VelmorInstallerUnderTest_hosts>)
target_link_libraries(VelmorInstallerWithoutBackground PRIVATE velmor)
target_link_options(VelmorInstallerWithoutBackground PRIVATE -municode -mwindows -Wl,--gc-sections -s)

# The same, pinned to the test publisher, whose key is made once per build tree. The first pin stands for a key the
# publisher no longer signs with, so that the list is searched past its first entry.
set(VELMOR_TEST_PUBLISHER_DIR "${CMAKE_BINARY_DIR}/test-publisher")
execute_process(COMMAND "${VELMOR_WINE_DIR}/make-test-pki" --publisher "${VELMOR_TEST_PUBLISHER_DIR}"
                COMMAND_ERROR_IS_FATAL ANY)
file(STRINGS "${VELMOR_TEST_PUBLISHER_DIR}/publisher.sha256" publisher_key LIMIT_COUNT 1)
velmor_add_installer(VelmorInstallerPinned ${test_hosts} 1 SIGNER "Velmor Test Publisher"
    KEYS "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855,${publisher_key}" ATTEMPTS 1)

# The diagnostics log's promises that a run of the installer cannot show (see the program), with the log on.
add_executable(log_probe harness/tools/log_probe.cpp $<TARGET_OBJECTS:VelmorInstallerField_hosts>)
target_link_libraries(log_probe PRIVATE velmor)
target_link_options(log_probe PRIVATE -municode)

add_executable(unit_tests ${VELMOR_UNIT_TEST_SOURCES})
target_link_libraries(unit_tests PRIVATE velmor gtest gtest_main)

add_executable(windows_tests windows/dll_search_test.cpp windows/download_test.cpp windows/paint_test.cpp
    windows/proxy_test.cpp windows/registration_test.cpp windows/staging_folder_test.cpp windows/window_test.cpp "${VELMOR_INSTALLER_RC}"
    $<TARGET_OBJECTS:VelmorInstallerUnderTest_hosts>)
target_link_libraries(windows_tests PRIVATE velmor gtest gtest_main oleacc)

# Wine programs of the run start through wine-run, in the run's prefix and display with the run's Wine loader.
set(wine_run "${VELMOR_WINE_DIR}/wine-run" "${VELMOR_RUN_DIR}")
# A 32-bit build's Wine tests start 32-bit programs. On a machine that cannot run any (run-setup finds out once per
# run), run_setup and each of them exit with 77: skipped, never passed. Its other tests run everywhere.
set(skip_code 77)
set(guard "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(guard "${VELMOR_HARNESS_DIR}/skip-without-32bit" "${VELMOR_RUN_DIR}")
endif()

# One run: display, prefix, certificates. Every test below needs it.
add_test(NAME run_setup COMMAND "${VELMOR_WINE_DIR}/run-setup" "${VELMOR_RUN_DIR}" "${VELMOR_TOOLS_DIR}")
add_test(NAME run_teardown COMMAND ${guard} "${VELMOR_WINE_DIR}/run-teardown" "${VELMOR_RUN_DIR}")
set_tests_properties(run_setup PROPERTIES FIXTURES_SETUP wine_run SKIP_RETURN_CODE ${skip_code})
set_tests_properties(run_teardown PROPERTIES FIXTURES_CLEANUP wine_run SKIP_RETURN_CODE ${skip_code})

# A test that needs the run; the test programs are found in VELMOR_TEST_BUILD by their target names.
function(velmor_run_test name)
    cmake_parse_arguments(PARSE_ARGV 1 test "" "WORKING_DIRECTORY" "COMMAND")
    add_test(NAME ${name} COMMAND ${test_COMMAND} WORKING_DIRECTORY "${test_WORKING_DIRECTORY}")
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_run RUN_SERIAL ON
        ENVIRONMENT "VELMOR_RUN_DIR=${VELMOR_RUN_DIR};VELMOR_TOOLS_DIR=${VELMOR_TOOLS_DIR};\
VELMOR_TEST_BUILD=${CMAKE_CURRENT_BINARY_DIR};VELMOR_TEST_PORT=${VELMOR_TEST_PORT};\
VELMOR_TEST_PUBLISHER_DIR=${VELMOR_TEST_PUBLISHER_DIR};VELMOR_FAULTS_TABLE=${CMAKE_BINARY_DIR}/faults.md;\
VELMOR_FAULT_ROWS=${CMAKE_BINARY_DIR}/download-faults.tsv;PYTHONDONTWRITEBYTECODE=1")
endfunction()

# A test that starts Windows programs under Wine.
function(velmor_wine_test name)
    cmake_parse_arguments(PARSE_ARGV 1 test "" "WORKING_DIRECTORY" "COMMAND")
    velmor_run_test(${name} COMMAND ${guard} ${test_COMMAND} WORKING_DIRECTORY "${test_WORKING_DIRECTORY}")
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE ${skip_code})
endfunction()

# A GoogleTest program under Wine. A program that dies under Wine (a stack overflow, say) may still exit with 0, and a
# filter that matches nothing passes: these pass only when GoogleTest itself says at the end that it ran at least one
# test, or exactly COUNT.
function(velmor_gtest name)
    cmake_parse_arguments(PARSE_ARGV 1 test "" "COUNT" "COMMAND")
    set(count "[1-9][0-9]*")
    if(test_COUNT)
        set(count ${test_COUNT})
    endif()
    velmor_wine_test(${name} COMMAND ${test_COMMAND})
    set_tests_properties(${name} PROPERTIES
        PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] ${count} tests?\\."
        FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()

velmor_gtest(unit_tests COMMAND ${wine_run} $<TARGET_FILE:unit_tests>)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    velmor_gtest(download COMMAND python3 "${CMAKE_CURRENT_SOURCE_DIR}/integration/installer_harness.py" --
        ${wine_run} $<TARGET_FILE:windows_tests> --gtest_filter=Download*)
    velmor_gtest(window COMMAND ${wine_run} $<TARGET_FILE:windows_tests> --gtest_filter=-Download*:DllSearch*)
    # In a process of its own, which has loaded none of the DLLs concerned and loads jsproxy native first.
    velmor_gtest(dll_search COUNT 1 COMMAND ${wine_run} $<TARGET_FILE:windows_tests> --gtest_filter=DllSearch*)
    set_property(TEST dll_search APPEND PROPERTY ENVIRONMENT "WINEDLLOVERRIDES=mscoree,mshtml=;jsproxy=n,b")
    set(installer_suites choice flow window faults hardening retry field)
    velmor_wine_test(log_probe COMMAND ${wine_run} $<TARGET_FILE:log_probe>)
    set_tests_properties(log_probe PROPERTIES PASS_REGULAR_EXPRESSION "log probe: ok")
else()
    # The x86 build is the same code as the x64 build, whose preset runs every test. Here run the tests that would
    # see a 32-bit process differ: the registry views, the System32 it loads from, the DLLs it delay-loads and the
    # program it starts, through the whole installer, and the PE32 headers of its own file, which it reads for its
    # channel; and its own painting and registration. Named one by one, so
    # that a renamed test cannot drop out unnoticed.
    set(x86_tests RegistrationTest.UpdatesOrAppendsThisProduct RegistrationTest.LeavesLinksAndWhatTheyPointToAlone
        Paint.BarShowsTrackAndFillForTheProgress)
    list(LENGTH x86_tests x86_count)
    list(JOIN x86_tests ":" x86_filter)
    velmor_gtest(window COUNT ${x86_count} COMMAND ${wine_run} $<TARGET_FILE:windows_tests> --gtest_filter=${x86_filter})
    set(installer_suites choice flow.HappyPath flow.FailedDownload flow.FailedStart flow.StampedChannel
        hardening.PlantedDlls hardening.PinnedPublisher)
endif()

# installer_<suite>_test, or one of its test classes (suite.Class). Python 3.11's unittest exits with 0 when it ran no
# test at all; that fails here.
foreach(suite IN LISTS installer_suites)
    string(REGEX REPLACE "^([a-z]+)" "installer_\\1_test" name "${suite}")
    velmor_wine_test(installer_${suite}
        COMMAND python3 -m unittest -v "${name}"
        WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/integration")
    set_tests_properties(installer_${suite} PROPERTIES FAIL_REGULAR_EXPRESSION "Ran 0 tests")
endforeach()
# The fault table that installer_faults writes takes in the rows that the downloader's test recorded before it.
if(TEST installer_faults AND TEST download)
    set_tests_properties(installer_faults PROPERTIES DEPENDS download)
endif()

# scripts/release from a copy of the source, with the hosts, channel, version and architecture of this build: it must
# give this build's VelmorInstaller.exe, signed, within its size budget, and stamped copies for channels; and
# scripts/check-release on the pinned build against the test server. It starts no Windows program: it only needs the
# run's certificates.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(release_arch x86)
else()
    set(release_arch x64)
endif()
velmor_run_test(release COMMAND python3 -m unittest -v release_test
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/integration")
# Two releases are built from scratch: more than the default time.
set_tests_properties(release PROPERTIES FAIL_REGULAR_EXPRESSION "Ran 0 tests" TIMEOUT 1500)
set_property(TEST release APPEND PROPERTY ENVIRONMENT "VELMOR_SHIPPED_INSTALLER=$<TARGET_FILE:VelmorInstaller>"
    "VELMOR_VERSION=${VELMOR_VERSION}" "VELMOR_DISTRIBUTOR_ID=${VELMOR_DISTRIBUTOR_ID}"
    "VELMOR_DOWNLOAD_HOST=${VELMOR_DOWNLOAD_HOST}" "VELMOR_SUPPORT_HOST=${VELMOR_SUPPORT_HOST}"
    "VELMOR_RELEASE_ARCH=${release_arch}")

# What ships imports nothing but Windows' KnownDLLs (every other DLL is delay-loaded), its code is for this build's
# processor, and its manifest names that architecture.
add_test(NAME imports COMMAND python3 "${CMAKE_CURRENT_SOURCE_DIR}/check_imports.py" "${CMAKE_OBJDUMP}"
    ${VELMOR_MANIFEST_ARCH} $<TARGET_FILE:VelmorInstaller> $<TARGET_FILE:VelmorInstallerUnderTest>
    $<TARGET_FILE:VelmorInstallerPinned>)
