# The library's layers as object libraries, each compiled twice: NAME, of which kxipc.dll is made,
# and NAME_killpoints, the same sources with the test seams of KxKillPoint.h compiled in, which
# only the reliability tests link.
#
# kxipc_add_layer(NAME [PLAIN] SOURCES file... [DEPENDS layer...] [LIBRARIES lib...])
# A layer's folder is its include folder, seen by the layers and targets that link it; DEPENDS
# names the layers below it (their killpoint kinds for its killpoint kind). The objects carry
# dllexport for the DLL; code that links them directly sees plain declarations (KXIPC_STATIC).
# PLAIN: a layer that exports nothing, which programs linked with kxipc.dll may link too.
function(kxipc_add_layer name)
    cmake_parse_arguments(LAYER "PLAIN" "" "SOURCES;DEPENDS;LIBRARIES" ${ARGN})
    set(kinds "")
    if(KXIPC_BUILD_TESTS)
        set(kinds "_killpoints")
    endif()
    foreach(kind "" ${kinds})
        set(target ${name}${kind})
        add_library(${target} OBJECT ${LAYER_SOURCES})
        target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
        if(NOT LAYER_PLAIN)
            target_compile_definitions(${target} PRIVATE KXIPC_EXPORTS INTERFACE KXIPC_STATIC)
        endif()
        target_link_libraries(${target} PUBLIC kxipc_options ${LAYER_LIBRARIES})
        foreach(below ${LAYER_DEPENDS})
            target_link_libraries(${target} PUBLIC ${below}${kind})
        endforeach()
        if(kind)
            target_compile_definitions(${target} PUBLIC KXIPC_KILL_POINTS)
        endif()
    endforeach()
endfunction()

# kxipc_add_core(NAME LAYERS layer...): an archive of every layer's objects, with their usage
# requirements, for the programs that link the library statically instead of kxipc.dll.
function(kxipc_add_core name)
    cmake_parse_arguments(CORE "" "" "LAYERS" ${ARGN})
    add_library(${name} STATIC)
    target_link_libraries(${name} PUBLIC ${CORE_LAYERS})
endfunction()
