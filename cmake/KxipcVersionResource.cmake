# kxipc_add_version_resource(TARGET DESCRIPTION): compiles the project's version into TARGET as a
# Windows version resource, so that Explorer, installers and GetFileVersionInfo see the same
# version as `kxipc --version` and the package version file.
set(KXIPC_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../resources/kxipc.rc.in)

function(kxipc_add_version_resource target description)
    if(NOT WIN32)
        return()  # a Windows resource; ELF files carry their version in the library's name
    endif()
    get_target_property(type ${target} TYPE)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    if(type STREQUAL "SHARED_LIBRARY")
        set(KXIPC_RC_FILETYPE VFT_DLL)
        set(suffix ${CMAKE_SHARED_LIBRARY_SUFFIX})
    else()
        set(KXIPC_RC_FILETYPE VFT_APP)
        set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
    endif()
    set(KXIPC_RC_DESCRIPTION "${description}")
    set(KXIPC_RC_INTERNAL_NAME ${name})
    set(KXIPC_RC_FILENAME ${name}${suffix})
    set(rc ${PROJECT_BINARY_DIR}/resources/${target}.rc)
    configure_file(${KXIPC_RC_TEMPLATE} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
