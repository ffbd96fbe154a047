# What a build stamps into the installer besides its hosts: the version and the distribution channel.

# X.Y.Z, each part fitting the 16 bits that a version resource gives it.
function(velmor_check_version var)
    set(value "${${var}}")
    if(NOT value MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
        message(FATAL_ERROR "${var}='${value}' is not a version X.Y.Z")
    endif()
    foreach(part IN ITEMS "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}" "${CMAKE_MATCH_3}")
        if(part GREATER 65535)
            message(FATAL_ERROR "${var}='${value}' has a part above 65535")
        endif()
    endforeach()
endfunction()

# The channel is written into config.toml between double quotes and compiled into a C++ string literal, so it is
# 1 to 32 printable ASCII characters without a double quote or a backslash.
function(velmor_check_distributor var)
    set(value "${${var}}")
    string(LENGTH "${value}" length)
    if(length LESS 1 OR length GREATER 32 OR NOT value MATCHES "^[] !#-[^-~]+$")
        message(FATAL_ERROR "${var}='${value}' must be 1 to 32 printable ASCII characters without \", \\, CR or LF: "
                            "it is written between double quotes into config.toml")
    endif()
endfunction()
