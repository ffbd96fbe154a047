find_package(GTest REQUIRED)

add_executable(unit_tests ${VELMOR_UNIT_TEST_SOURCES})
target_link_libraries(unit_tests PRIVATE velmor_portable GTest::gtest GTest::gtest_main)
add_test(NAME unit_tests COMMAND unit_tests)

# libFuzzer needs clang. The corpus is replayed as a test; scripts/fuzz runs the fuzzer for real.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(software_registry_fuzzer fuzz/software_registry_fuzzer.cpp)
    target_link_libraries(software_registry_fuzzer PRIVATE velmor_portable)
    target_compile_options(software_registry_fuzzer PRIVATE -fsanitize=fuzzer)
    target_link_options(software_registry_fuzzer PRIVATE -fsanitize=fuzzer)
    add_test(NAME software_registry_corpus
             COMMAND software_registry_fuzzer -runs=0 "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus")
endif()

# Dependencies point one way: base <- config, net <- install <- ui <- app.
add_test(NAME include_layers COMMAND python3 "${CMAKE_CURRENT_SOURCE_DIR}/check_layers.py" "${PROJECT_SOURCE_DIR}")
