# The library's layers as object libraries, each compiled twice: NAME, of which kxipc.dll is made,
# and NAME_killpoints, the same sources with the test seams of KxKillPoint.h compiled in, which
# only the reliability tests link.
#
# kxipc_add_layer(NAME [PLAIN] [WINDOWS_FREE] SOURCES file... [WIN32_SOURCES file...]
#                 [POSIX_SOURCES file...] [PRIVATE_INCLUDES dir...] [DEPENDS layer...]
#                 [LIBRARIES lib...] [WIN32_LIBRARIES lib...] [POSIX_LIBRARIES lib...])
# A layer's folder is its include folder, seen by the layers and targets that link it; DEPENDS
# names the layers below it (their killpoint kinds for its killpoint kind). SOURCES are built on
# every platform, WIN32_SOURCES on Windows only, POSIX_SOURCES everywhere else (the same for the
# libraries); PRIVATE_INCLUDES
# are seen by the layer's own sources only (the kernel's platform folder). The objects carry
# dllexport for the DLL; code that links them directly sees plain declarations (KXIPC_STATIC).
# Elsewhere symbols are hidden unless KXIPC_API marks them, so that libkxipc.so exports what
# kxipc.dll exports.
# PLAIN: a layer that exports nothing, which programs linked with kxipc.dll may link too.
# WINDOWS_FREE: the layer's sources may not reach <windows.h> nor name its types; GCC and Clang
# enforce it (cmake/KxWindowsFree.h).
function(kxipc_add_layer name)
    cmake_parse_arguments(LAYER "PLAIN;WINDOWS_FREE" ""
        "SOURCES;WIN32_SOURCES;POSIX_SOURCES;PRIVATE_INCLUDES;DEPENDS;LIBRARIES;WIN32_LIBRARIES;POSIX_LIBRARIES"
        ${ARGN})
    set(sources ${LAYER_SOURCES})
    set(libraries ${LAYER_LIBRARIES})
    if(WIN32)
        list(APPEND sources ${LAYER_WIN32_SOURCES})
        list(APPEND libraries ${LAYER_WIN32_LIBRARIES})
    else()
        list(APPEND sources ${LAYER_POSIX_SOURCES})
        list(APPEND libraries ${LAYER_POSIX_LIBRARIES})
    endif()
    set(kinds "")
    if(KXIPC_BUILD_TESTS)
        set(kinds "_killpoints")
    endif()
    foreach(kind "" ${kinds})
        set(target ${name}${kind})
        add_library(${target} OBJECT ${sources})
        if(NOT WIN32)
            # Position-independent for libkxipc.so; hidden unless exported.
            set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON
                CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
        endif()
        target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
        if(LAYER_PRIVATE_INCLUDES)
            target_include_directories(${target} PRIVATE ${LAYER_PRIVATE_INCLUDES})
        endif()
        if(NOT LAYER_PLAIN)
            target_compile_definitions(${target} PRIVATE KXIPC_EXPORTS INTERFACE KXIPC_STATIC)
        endif()
        if(LAYER_WINDOWS_FREE)
            kxipc_windows_free(${target})
        endif()
        target_link_libraries(${target} PUBLIC kxipc_options ${libraries})
        foreach(below ${LAYER_DEPENDS})
            target_link_libraries(${target} PUBLIC ${below}${kind})
        endforeach()
        if(kind)
            target_compile_definitions(${target} PUBLIC KXIPC_KILL_POINTS)
        endif()
    endforeach()
endfunction()

# kxipc_windows_free(TARGET): every source of TARGET is compiled with cmake/KxWindowsFree.h
# included first, which poisons the names <windows.h> defines: a source that reaches <windows.h>,
# or names DWORD, HANDLE and the like itself, does not compile. (MSVC has no poisoning; the GCC
# builds check for it.)
function(kxipc_windows_free target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE
            "SHELL:-include ${PROJECT_SOURCE_DIR}/cmake/KxWindowsFree.h")
    endif()
endfunction()

# kxipc_add_core(NAME LAYERS layer...): an archive of every layer's objects, with their usage
# requirements, for the programs that link the library statically instead of kxipc.dll.
function(kxipc_add_core name)
    cmake_parse_arguments(CORE "" "" "LAYERS" ${ARGN})
    add_library(${name} STATIC)
    target_link_libraries(${name} PUBLIC ${CORE_LAYERS})
endfunction()
