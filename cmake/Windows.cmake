enable_language(RC)
include(cmake/Sources.cmake)

set(VELMOR_WINDOWS_LIBS winhttp gdiplus ole32 comctl32 shell32 advapi32 user32 gdi32 kernel32)

# Every program links the C++ runtime statically, so it needs nothing beside Windows' own DLLs.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
# GCC 12 reports false -Wrestrict positives from inside std::string (GCC bug 105651).
add_compile_options(-Wall -Wextra -Wno-restrict -ffunction-sections -fdata-sections)
add_link_options(-static)

add_library(velmor STATIC ${VELMOR_PORTABLE_SOURCES} ${VELMOR_WINDOWS_SOURCES})
target_include_directories(velmor PUBLIC "${PROJECT_SOURCE_DIR}")
target_link_libraries(velmor PUBLIC ${VELMOR_WINDOWS_LIBS})

# Measurement builds record when the window paints (see ui/paint_trace.h); never for what ships.
option(VELMOR_PAINT_TRACE "Record paint times for the benchmark" OFF)
if(VELMOR_PAINT_TRACE)
    target_sources(velmor PRIVATE ui/paint_trace.cpp)
    target_compile_definitions(velmor PRIVATE VELMOR_PAINT_TRACE)
endif()

# Builds one installer executable: the entry point, the resources, the given hosts and, when given, the number of
# download attempts (else VELMOR_DOWNLOAD_ATTEMPTS).
function(velmor_add_installer target download_host support_host)
    set(attempts "${VELMOR_DOWNLOAD_ATTEMPTS}")
    if(ARGC GREATER 3)
        set(attempts "${ARGV3}")
    endif()
    velmor_add_hosts(${target}_hosts "${download_host}" "${support_host}" "${attempts}")
    add_executable(${target} WIN32 "${PROJECT_SOURCE_DIR}/app/main.cpp" "${PROJECT_SOURCE_DIR}/resources/installer.rc"
        $<TARGET_OBJECTS:${target}_hosts>)
    target_link_libraries(${target} PRIVATE velmor)
    target_link_options(${target} PRIVATE -municode -mwindows -Wl,--gc-sections -s)
endfunction()

velmor_add_installer(VelmorInstaller "${VELMOR_DOWNLOAD_HOST}" "${VELMOR_SUPPORT_HOST}")
