# The paths of the two addresses on the download host (product.toml): the ordinary release, and the build that brings
# its own web view.
set(VELMOR_RELEASE_PATH "${VELMOR_PRODUCT_RELEASE_PATH}")
set(VELMOR_WEBVIEW_PATH "${VELMOR_PRODUCT_WEBVIEW_PATH}")

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

# The publisher pinned for the downloaded setup program: the signer certificate's subject common name, and
# comma-separated hex SHA-256 digests of its DER SubjectPublicKeyInfo. The name becomes a C string literal, so it
# may hold no quote, backslash, tab or line break, and it is never pinned alone. Sets <keys_var> to the digests in
# lower case.
function(velmor_check_payload_pins signer keys_var)
    if(signer MATCHES "[\"\\\t\r\n]")
        message(FATAL_ERROR "VELMOR_PAYLOAD_SIGNER='${signer}' holds a quote, backslash, tab or line break")
    endif()
    set(keys "${${keys_var}}")
    if(NOT signer STREQUAL "" AND keys STREQUAL "")
        message(FATAL_ERROR "VELMOR_PAYLOAD_SIGNER='${signer}' is set without VELMOR_PAYLOAD_KEY_SHA256: anyone can "
                            "have a certificate made out to a name, so pin the signing keys as well (README)")
    endif()
    if(NOT keys STREQUAL "")
        string(REPLACE "," ";" digests "${keys},")  # a trailing or doubled comma leaves an empty item
        list(POP_BACK digests)
        foreach(digest IN LISTS digests)
            string(LENGTH "${digest}" length)
            if(NOT length EQUAL 64 OR NOT digest MATCHES "^[0-9A-Fa-f]+$" OR NOT keys MATCHES "^[0-9A-Fa-f,]+$")
                message(FATAL_ERROR "VELMOR_PAYLOAD_KEY_SHA256='${keys}' is not a comma-separated list of 64-digit "
                                    "hex SHA-256 digests")
            endif()
        endforeach()
    endif()
    string(TOLOWER "${keys}" keys)
    set(${keys_var} "${keys}" PARENT_SCOPE)
endfunction()

# The number of download attempts is a whole number from 1 to 10.
function(velmor_check_attempts var)
    if(NOT "${${var}}" MATCHES "^([1-9]|10)$")
        message(FATAL_ERROR "${var}='${${var}}' is not a whole number from 1 to 10")
    endif()
endfunction()

# Where the download finds its proxy: winhttp (as designed) or system.
function(velmor_check_proxy var)
    if(NOT "${${var}}" MATCHES "^(winhttp|system)$")
        message(FATAL_ERROR "${var}='${${var}}' is neither winhttp nor system")
    endif()
endfunction()

# A switch is ON or OFF, or another of CMake's words for them: any other word would count as ON.
function(velmor_check_switch var)
    string(TOUPPER "${${var}}" value)
    if(NOT value MATCHES "^(ON|OFF|TRUE|FALSE|YES|NO|Y|N|1|0)$")
        message(FATAL_ERROR "${var}='${${var}}' is neither ON nor OFF")
    endif()
endfunction()

# An object library that defines the host constants, the distribution channel, the version, the pinned publisher
# (SIGNER <name> KEYS <digests>, both optional), the number of download attempts (ATTEMPTS <n>), the proxy source
# (PROXY winhttp|system) and the log (LOG ON|OFF) for one executable; those not given come from the VELMOR_* cache
# variables. The installer and the test builds of the installer each link their own, so the library itself stays free
# of any host or channel. The channel goes through a generated source rather than a definition, which would split at
# a ";".
function(velmor_add_hosts target download_host support_host distributor_id)
    cmake_parse_arguments(PARSE_ARGV 4 pin "" "SIGNER;KEYS;ATTEMPTS;PROXY;LOG" "")
    velmor_check_payload_pins("${pin_SIGNER}" pin_KEYS)
    foreach(setting ATTEMPTS:VELMOR_DOWNLOAD_ATTEMPTS PROXY:VELMOR_PROXY LOG:VELMOR_LOG)
        string(REPLACE ":" ";" setting "${setting}")
        list(GET setting 0 name)
        list(GET setting 1 variable)
        if(NOT DEFINED pin_${name})
            set(pin_${name} "${${variable}}")
        endif()
    endforeach()
    velmor_check_attempts(pin_ATTEMPTS)
    velmor_check_proxy(pin_PROXY)
    set(distributor_source "${CMAKE_CURRENT_BINARY_DIR}/${target}_distributor.cpp")
    file(CONFIGURE OUTPUT "${distributor_source}" @ONLY CONTENT
        "#include \"config/product.h\"\n\nconst char DistributorId[] = \"@distributor_id@\";\n")
    # What scripts/check-release reads back out of a built installer (resource 301, "key=value" lines): what it
    # downloads, whose signature it demands there, its built-in channel and the size budget of its architecture.
    set(facts "${CMAKE_CURRENT_BINARY_DIR}/${target}_facts.txt")
    file(CONFIGURE OUTPUT "${facts}" @ONLY CONTENT "download_host=@download_host@
release_path=@VELMOR_RELEASE_PATH@
webview_path=@VELMOR_WEBVIEW_PATH@
distributor=@distributor_id@
payload_signer=@pin_SIGNER@
payload_keys=@pin_KEYS@
size_budget=@VELMOR_SIZE_BUDGET@
")
    file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/${target}_facts.rc" CONTENT "301 RCDATA \"${facts}\"\n")
    add_library(${target} OBJECT "${PROJECT_SOURCE_DIR}/config/build_hosts.cpp" "${distributor_source}"
        "${CMAKE_CURRENT_BINARY_DIR}/${target}_facts.rc")
    set_property(SOURCE "${CMAKE_CURRENT_BINARY_DIR}/${target}_facts.rc" APPEND PROPERTY OBJECT_DEPENDS "${facts}")
    target_compile_definitions(${target} PRIVATE
        "VELMOR_DOWNLOAD_HOST=\"${download_host}\""
        "VELMOR_RELEASE_PATH=\"${VELMOR_RELEASE_PATH}\""
        "VELMOR_WEBVIEW_PATH=\"${VELMOR_WEBVIEW_PATH}\""
        "VELMOR_SUPPORT_HOST=\"${support_host}\""
        "VELMOR_PAYLOAD_SIGNER=L\"${pin_SIGNER}\""
        "VELMOR_PAYLOAD_KEY_SHA256=\"${pin_KEYS}\""
        "VELMOR_DOWNLOAD_ATTEMPTS=${pin_ATTEMPTS}"
        "VELMOR_VERSION_TEXT=\"${VELMOR_VERSION}\""
        "VELMOR_PROXY_FROM_SYSTEM=$<STREQUAL:${pin_PROXY},system>"
        "VELMOR_LOG=$<BOOL:${pin_LOG}>")
    target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}")
endfunction()
