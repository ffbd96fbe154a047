set(VELMOR_RUN_DIR "${CMAKE_BINARY_DIR}/test-run")
set(VELMOR_HARNESS_DIR "${CMAKE_CURRENT_SOURCE_DIR}/harness")
set(VELMOR_TEST_PORT 47443 CACHE STRING "Loopback port of the HTTPS server that the test build of the installer uses")

# Every cross-built test program runs under Wine in the run's prefix and display.
set(CMAKE_CROSSCOMPILING_EMULATOR "${VELMOR_HARNESS_DIR}/wine-run;${VELMOR_RUN_DIR}")

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)

# Helper programs that run inside the test prefix.
set(VELMOR_TOOLS_DIR "${CMAKE_CURRENT_BINARY_DIR}/tools")
function(velmor_add_tool name)
    add_executable(${name} ${ARGN})
    target_link_options(${name} PRIVATE -municode)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${VELMOR_TOOLS_DIR}")
endfunction()
velmor_add_tool(trust_ca harness/tools/trust_ca.cpp)
target_link_libraries(trust_ca PRIVATE crypt32)
velmor_add_tool(url_recorder WIN32 harness/tools/url_recorder.cpp)
target_link_options(url_recorder PRIVATE -mwindows)
velmor_add_tool(fake_setup WIN32 harness/tools/fake_setup.cpp)
target_link_options(fake_setup PRIVATE -mwindows)
velmor_add_tool(box_tool harness/tools/box_tool.cpp)
velmor_add_tool(hold_file harness/tools/hold_file.cpp)
velmor_add_tool(desktop_keeper harness/tools/desktop_keeper.cpp)

# The installer as designed, one download attempt, but fetching from the test server on this machine; and the same
# with the three attempts recommended for a release.
velmor_add_installer(VelmorInstallerUnderTest "localhost:${VELMOR_TEST_PORT}" "support.localhost:${VELMOR_TEST_PORT}" 1)
velmor_add_installer(VelmorInstallerRetryUnderTest
    "localhost:${VELMOR_TEST_PORT}" "support.localhost:${VELMOR_TEST_PORT}" 3)

add_executable(unit_tests ${VELMOR_UNIT_TEST_SOURCES})
target_link_libraries(unit_tests PRIVATE velmor gtest gtest_main)

add_executable(windows_tests
    windows/download_test.cpp
    windows/paint_test.cpp
    windows/registration_test.cpp
    windows/window_test.cpp
    "${PROJECT_SOURCE_DIR}/resources/installer.rc"
    $<TARGET_OBJECTS:VelmorInstallerUnderTest_hosts>
)
target_link_libraries(windows_tests PRIVATE velmor gtest gtest_main)

# One run: display, prefix, certificates. Every test below needs it.
add_test(NAME run_setup COMMAND "${VELMOR_HARNESS_DIR}/run-setup" "${VELMOR_RUN_DIR}" "${VELMOR_TOOLS_DIR}")
add_test(NAME run_teardown COMMAND "${VELMOR_HARNESS_DIR}/run-teardown" "${VELMOR_RUN_DIR}")
set_tests_properties(run_setup PROPERTIES FIXTURES_SETUP wine_run)
set_tests_properties(run_teardown PROPERTIES FIXTURES_CLEANUP wine_run)

function(velmor_wine_test name)
    add_test(NAME ${name} ${ARGN})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_run RUN_SERIAL ON
        ENVIRONMENT "VELMOR_RUN_DIR=${VELMOR_RUN_DIR};VELMOR_TOOLS_DIR=${VELMOR_TOOLS_DIR};\
VELMOR_INSTALLER=$<TARGET_FILE:VelmorInstallerUnderTest>;\
VELMOR_RETRY_INSTALLER=$<TARGET_FILE:VelmorInstallerRetryUnderTest>;VELMOR_TEST_PORT=${VELMOR_TEST_PORT};\
VELMOR_FAULTS_TABLE=${PROJECT_SOURCE_DIR}/docs/faults.md;PYTHONDONTWRITEBYTECODE=1")
endfunction()

velmor_wine_test(unit_tests COMMAND unit_tests)
velmor_wine_test(download
    COMMAND python3 "${VELMOR_HARNESS_DIR}/with_server.py" --
            "${VELMOR_HARNESS_DIR}/wine-run" "${VELMOR_RUN_DIR}" $<TARGET_FILE:windows_tests> --gtest_filter=Download*)
velmor_wine_test(window COMMAND windows_tests --gtest_filter=-Download*)
# A program that dies under Wine (a stack overflow, say) may still exit with 0: these pass only when GoogleTest
# itself says so at the end.
set_tests_properties(unit_tests download window PROPERTIES
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ tests?\\."
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")

foreach(suite choice flow window faults retry)
    velmor_wine_test(installer_${suite}
        COMMAND python3 -m unittest -v "installer_${suite}_test"
        WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/integration")
endforeach()

# What ships may import nothing but Windows' own DLLs.
add_test(NAME imports
    COMMAND "${CMAKE_COMMAND}" -DOBJDUMP=x86_64-w64-mingw32-objdump
            "-DPROGRAMS=$<TARGET_FILE:VelmorInstaller>;$<TARGET_FILE:VelmorInstallerUnderTest>"
            -P "${CMAKE_CURRENT_SOURCE_DIR}/check_imports.cmake")
