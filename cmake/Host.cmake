include(cmake/Sources.cmake)

add_compile_options(-Wall -Wextra)
if(VELMOR_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

add_library(velmor_portable STATIC ${VELMOR_PORTABLE_SOURCES})
target_include_directories(velmor_portable PUBLIC "${PROJECT_SOURCE_DIR}")
