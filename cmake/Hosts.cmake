# The download and support hosts are compiled into the installer. They must be a bare host name with an optional
# port, because the installer builds "https://" + host + path from them and its URL parser accepts nothing else.
function(velmor_check_host var)
    set(value "${${var}}")
    if(NOT value MATCHES "^[A-Za-z0-9.-]+(:[0-9]+)?$")
        message(FATAL_ERROR "${var}='${value}' is not a host name with an optional :port")
    endif()
    if(value MATCHES ":([0-9]+)$")
        if(CMAKE_MATCH_1 EQUAL 0 OR CMAKE_MATCH_1 GREATER 65535)
            message(FATAL_ERROR "${var}='${value}' has a port outside 1..65535")
        endif()
    endif()
endfunction()

# An object library that defines the host constants and the distribution channel for one executable. The installer
# and the test builds of the installer each link their own, so the library itself stays free of any host or channel.
# The channel goes through a generated source rather than a definition, which would split at a ";".
function(velmor_add_hosts target download_host support_host distributor_id)
    set(distributor_source "${CMAKE_CURRENT_BINARY_DIR}/${target}_distributor.cpp")
    file(CONFIGURE OUTPUT "${distributor_source}" @ONLY CONTENT
        "#include \"config/product.h\"\n\nconst char DistributorId[] = \"@distributor_id@\";\n")
    add_library(${target} OBJECT "${PROJECT_SOURCE_DIR}/config/build_hosts.cpp" "${distributor_source}")
    target_compile_definitions(${target} PRIVATE
        "VELMOR_DOWNLOAD_HOST=\"${download_host}\""
        "VELMOR_SUPPORT_HOST=\"${support_host}\"")
    target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}")
endfunction()
