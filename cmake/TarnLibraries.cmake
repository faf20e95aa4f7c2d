# Everything of Tarn's own code compiles with tarn_defaults: strict string
# handling and the compiler's warnings, errors in the CI build (TARN_WERROR).
# Qt's headers come in as system headers, so their own warnings stay out.
add_library(tarn_defaults INTERFACE)
set(TARN_WARNINGS -Wall -Wextra -Wpedantic)
if(TARN_WERROR)
    list(APPEND TARN_WARNINGS -Werror)
endif()
target_compile_options(tarn_defaults INTERFACE
    "$<$<CXX_COMPILER_ID:GNU,Clang>:${TARN_WARNINGS}>"
    # Qt's logging and test macros (qCWarning(category), QSKIP(message)) are
    # variadic and meant to be called without their optional arguments, which
    # clang's -Wpedantic reports at every call.
    $<$<CXX_COMPILER_ID:Clang>:-Wno-gnu-zero-variadic-macro-arguments>)
target_compile_definitions(tarn_defaults INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_CAST_FROM_BYTEARRAY
    QT_USE_QSTRINGBUILDER
    QT_STRICT_ITERATORS
)

# tarn_add_library(NAME SOURCES...): one layer of the program, a static
# library whose headers are included by their folder ("net/RequestSender.h"),
# listed in the global property TARN_LIBRARIES, with a layer check beside it.
function(tarn_add_library name)
    add_library(${name} STATIC ${ARGN})
    target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
    target_link_libraries(${name} PRIVATE tarn_defaults)
    set_property(GLOBAL APPEND PROPERTY TARN_LIBRARIES ${name})
    tarn_check_layer(${name})
endfunction()

# tarn_check_layer(LIBRARY): links every object of LIBRARY into a stub program
# together with nothing but what LIBRARY links itself. A static library only
# pulls the objects a program needs, so a dependency that points up the layers
# would go unnoticed as long as the program links the upper layer anyway; this
# link fails on it.
function(tarn_check_layer library)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" OR APPLE OR WIN32)
        return()
    endif()
    set(check ${library}_layer_check)
    add_executable(${check} "${PROJECT_SOURCE_DIR}/cmake/LayerCheck.cpp")
    set_target_properties(${check} PROPERTIES AUTOMOC OFF)
    target_link_libraries(${check} PRIVATE tarn_defaults
        -Wl,--whole-archive $<TARGET_FILE:${library}> -Wl,--no-whole-archive ${library})
    add_dependencies(${check} ${library})
endfunction()
