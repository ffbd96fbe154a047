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

# The number of download attempts is a whole number from 1 to 10.
function(velmor_check_attempts var)
    if(NOT "${${var}}" MATCHES "^([1-9]|10)$")
        message(FATAL_ERROR "${var}='${${var}}' is not a whole number from 1 to 10")
    endif()
endfunction()

# An object library that defines the host constants and the number of download attempts for one executable. The
# installer and the test builds of the installer each link their own, so the library itself stays free of them.
function(velmor_add_hosts target download_host support_host attempts)
    add_library(${target} OBJECT "${PROJECT_SOURCE_DIR}/config/build_hosts.cpp")
    target_compile_definitions(${target} PRIVATE
        "VELMOR_DOWNLOAD_HOST=\"${download_host}\""
        "VELMOR_SUPPORT_HOST=\"${support_host}\""
        "VELMOR_DOWNLOAD_ATTEMPTS=${attempts}")
    target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}")
endfunction()
