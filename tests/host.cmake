find_package(GTest REQUIRED)

add_executable(unit_tests ${VELMOR_UNIT_TEST_SOURCES})
target_link_libraries(unit_tests PRIVATE velmor_portable GTest::gtest GTest::gtest_main)
add_test(NAME unit_tests COMMAND unit_tests)

# libFuzzer needs clang. Each fuzzer compiles the code it judges into itself, so that the code is instrumented for the
# fuzzer's coverage (the library is not). Its corpus, fuzz/<name>_corpus, is replayed as a test; scripts/fuzz runs the
# fuzzer for real.
function(velmor_fuzzer name)
    add_executable(${name}_fuzzer fuzz/${name}_fuzzer.cpp ${ARGN})
    target_link_libraries(${name}_fuzzer PRIVATE velmor_portable)
    target_compile_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
    target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
    add_test(NAME ${name}_corpus COMMAND ${name}_fuzzer -runs=0 "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/${name}_corpus")
endfunction()
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    velmor_fuzzer(software_registry "${PROJECT_SOURCE_DIR}/config/software_registry.cpp")
    velmor_fuzzer(pe_image "${PROJECT_SOURCE_DIR}/net/pe_image.cpp")
endif()

# Dependencies point one way: base <- config, net <- install <- ui <- app.
add_test(NAME include_layers COMMAND python3 "${CMAKE_CURRENT_SOURCE_DIR}/check_layers.py" "${PROJECT_SOURCE_DIR}")
