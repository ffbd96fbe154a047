enable_language(RC)
include(cmake/Sources.cmake)

# The installer runs elevated from a folder that other programs can write into, and Windows searches a program's
# own folder first for every DLL that is not one of its KnownDLLs. So only KnownDLLs (of Windows 7 and 10) are
# imported; every other DLL is delay-loaded through a library made here from cmake/delayload/<dll>.def (the
# functions used), and resolved only after wWinMain has restricted the search to System32.
# The .def files name each function as x86 code calls it, stdcall-decorated with its argument bytes (Name@N); the
# DLL exports it undecorated (--kill-at). x64 has no decoration, so the x64 libraries are made from copies without.
set(VELMOR_DELAYLOAD_DLLS bcrypt comctl32 crypt32 gdiplus oleacc winhttp wintrust)
set(VELMOR_DELAY_LIBS "")
set(VELMOR_DELAY_STUBS "")
foreach(dll IN LISTS VELMOR_DELAYLOAD_DLLS)
    set(def "${PROJECT_SOURCE_DIR}/cmake/delayload/${dll}.def")
    set(lib "${CMAKE_BINARY_DIR}/delayload/lib${dll}_delay.a")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(decoration --kill-at)
        # GNU ld for x86 drops an import library's call stub when the program reaches the function only through its
        # __imp_ pointer, as the headers' dllimport declarations do. A delay-load pointer starts out pointing into
        # that stub (which loads the DLL), so without it the first call jumps to address 0: keep every stub.
        file(STRINGS "${def}" functions REGEX "@[0-9]+$")
        list(TRANSFORM functions PREPEND "-Wl,-u,_")
        list(APPEND VELMOR_DELAY_STUBS ${functions})
    else()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${def}")
        file(READ "${def}" exports)
        string(REGEX REPLACE "@[0-9]+" "" exports "${exports}")
        set(def "${CMAKE_BINARY_DIR}/delayload/${dll}.def")
        file(CONFIGURE OUTPUT "${def}" CONTENT "${exports}")
        set(decoration "")
    endif()
    add_custom_command(OUTPUT "${lib}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/delayload"
        COMMAND "${CMAKE_DLLTOOL}" --input-def "${def}" --output-delaylib "${lib}" --dllname "${dll}.dll" ${decoration}
        DEPENDS "${def}" VERBATIM)
    list(APPEND VELMOR_DELAY_LIBS "${lib}")
endforeach()
add_custom_target(velmor_delay_libs DEPENDS ${VELMOR_DELAY_LIBS})
set(VELMOR_WINDOWS_LIBS ${VELMOR_DELAY_LIBS} ole32 oleaut32 uuid shell32 advapi32 user32 gdi32 kernel32)

# Every program links the C++ runtime statically, so it needs nothing beside Windows' own DLLs.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
# GCC 12 reports false -Wrestrict positives from inside std::string (GCC bug 105651).
add_compile_options(-Wall -Wextra -Wno-restrict -ffunction-sections -fdata-sections)
# Size before speed, after Release's -O3: the download waits on the network and the window on GDI, not on this code,
# and the installer must stay within its release size budget.
add_compile_options($<$<CONFIG:Release>:-Os>)
add_link_options(-static)
# Reproducible bytes: the same source gives the same executable from any folder at any time.
add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
add_link_options(-Wl,--no-insert-timestamp)

add_library(velmor STATIC ${VELMOR_PORTABLE_SOURCES} ${VELMOR_WINDOWS_SOURCES})
target_include_directories(velmor PUBLIC "${PROJECT_SOURCE_DIR}")
# Resource scripts find the generated manifest here.
target_include_directories(velmor PUBLIC "$<$<COMPILE_LANGUAGE:RC>:${CMAKE_BINARY_DIR}/resources>")
target_link_libraries(velmor PUBLIC ${VELMOR_WINDOWS_LIBS})
target_link_options(velmor PUBLIC ${VELMOR_DELAY_STUBS})
add_dependencies(velmor velmor_delay_libs)

# Measurement builds record when the window paints (see ui/paint_trace.h); never for what ships.
option(VELMOR_PAINT_TRACE "Record paint times for the benchmark" OFF)
if(VELMOR_PAINT_TRACE)
    target_sources(velmor PRIVATE ui/paint_trace.cpp)
    target_compile_definitions(velmor PRIVATE VELMOR_PAINT_TRACE)
endif()

# The manifest names the architecture the program is built for (Windows refuses to start a program whose manifest
# names another) and its version.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(VELMOR_MANIFEST_ARCH x86)
else()
    set(VELMOR_MANIFEST_ARCH amd64)
endif()
# The size that the released installer must stay within (scripts/release, scripts/check-release).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(VELMOR_SIZE_BUDGET 2100000 CACHE INTERNAL "Bytes the released x86 installer may have")
else()
    set(VELMOR_SIZE_BUDGET 2000000 CACHE INTERNAL "Bytes the released x64 installer may have")
endif()
# The product's names go into XML there, and into the quoted strings of the version resource.
foreach(name DESCRIPTION ASSEMBLY_NAME)
    string(REPLACE "&" "&amp;" VELMOR_XML_${name} "${VELMOR_PRODUCT_${name}}")
    string(REPLACE "<" "&lt;" VELMOR_XML_${name} "${VELMOR_XML_${name}}")
    string(REPLACE "\"" "&quot;" VELMOR_XML_${name} "${VELMOR_XML_${name}}")
endforeach()
configure_file(resources/installer.manifest.in "${CMAKE_BINARY_DIR}/resources/installer.manifest" @ONLY)
foreach(name COMPANY DESCRIPTION PROGRAM_NAME DISPLAY_NAME)
    string(REPLACE "\"" "\"\"" VELMOR_RC_${name} "${VELMOR_PRODUCT_${name}}")
endforeach()

# The version resource of every installer executable, stamped with VELMOR_VERSION; and the resource script with the
# product's pictures.
string(REPLACE "." "," VELMOR_VERSION_COMMAS "${VELMOR_VERSION}")
configure_file(resources/version.rc.in "${CMAKE_BINARY_DIR}/version.rc" @ONLY)
set(VELMOR_RESOURCES "${PROJECT_SOURCE_DIR}/resources")
set(VELMOR_INSTALLER_RC "${CMAKE_BINARY_DIR}/resources/installer.rc")
configure_file(resources/installer.rc.in "${VELMOR_INSTALLER_RC}" @ONLY)

# Builds one installer executable: the entry point, the resources, the given hosts and distribution channel and,
# after SIGNER, KEYS and ATTEMPTS, the publisher it pins and its download attempts (see velmor_add_hosts).
function(velmor_add_installer target download_host support_host distributor_id)
    velmor_add_hosts(${target}_hosts "${download_host}" "${support_host}" "${distributor_id}" ${ARGN})
    add_executable(${target} WIN32 "${PROJECT_SOURCE_DIR}/app/main.cpp" "${VELMOR_INSTALLER_RC}"
        "${CMAKE_BINARY_DIR}/version.rc" $<TARGET_OBJECTS:${target}_hosts>)
    target_link_libraries(${target} PRIVATE velmor)
    target_link_options(${target} PRIVATE -municode -mwindows -Wl,--gc-sections -s)
endfunction()

velmor_add_installer(VelmorInstaller "${VELMOR_DOWNLOAD_HOST}" "${VELMOR_SUPPORT_HOST}" "${VELMOR_DISTRIBUTOR_ID}"
    SIGNER "${VELMOR_PAYLOAD_SIGNER}" KEYS "${VELMOR_PAYLOAD_KEY_SHA256}")
# What ships carries the product's program name.
set_target_properties(VelmorInstaller PROPERTIES OUTPUT_NAME "${VELMOR_PRODUCT_PROGRAM_NAME}")
