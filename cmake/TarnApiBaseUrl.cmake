# The service address is compiled in; only https is accepted, except for a
# loopback host, which the demo and the tests use.
function(tarn_check_api_base_url url)
    if(NOT url MATCHES "^(https?)://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?(/[A-Za-z0-9._~/%-]*)$")
        message(FATAL_ERROR "TARN_API_BASE_URL must be an absolute http(s) address "
            "with a path, without query, fragment, spaces or quotes; got \"${url}\".")
    endif()
    set(scheme "${CMAKE_MATCH_1}")
    string(TOLOWER "${CMAKE_MATCH_2}" host)
    set(path "${CMAKE_MATCH_4}")
    if(NOT scheme STREQUAL "https"
            AND NOT host STREQUAL "127.0.0.1"
            AND NOT host STREQUAL "localhost"
            AND NOT host STREQUAL "[::1]")
        message(FATAL_ERROR "TARN_API_BASE_URL must be an https address; plain http is "
            "only allowed for a loopback host (127.0.0.1, localhost, [::1]). Got \"${url}\".")
    endif()
    if(NOT path MATCHES "/api/tarn$")
        message(FATAL_ERROR "The path of TARN_API_BASE_URL must end in \"/api/tarn\" "
            "(no trailing slash); got \"${url}\".")
    endif()
endfunction()
