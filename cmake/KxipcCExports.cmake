# The C interface's exports, whose names are written once, in the declarations of kxipc_c.h:
# kxipc.def is made from them at configure time, lib/kxipc.lib (the import library MSVC-ABI
# linkers take) from kxipc.def with llvm-dlltool after each link of kxipc.dll, and the same step
# checks that the DLL exports exactly those C names, undecorated, beside the C++ members.
#
# kxipc_add_c_exports(TARGET HEADER): for a MinGW build of the DLL target TARGET.
# As a script (cmake -DDLL= -DDEF= -DOBJDUMP= -P KxipcCExports.cmake): the check alone.

# The names of the .def's EXPORTS section, into the variable out.
function(kxipc_def_names def out)
    file(STRINGS ${def} lines)
    list(FILTER lines INCLUDE REGEX "^    kxipc_")
    list(TRANSFORM lines STRIP)
    set(${out} ${lines} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
    endif()
    # The export name table, up to the blank line that ends it, lists "\t[   N] NAME"; the C++
    # members' names are mangled (_Z...), the C functions' must stand as declared.
    string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
    if(start LESS 0)
        message(FATAL_ERROR "${DLL} has no export name table")
    endif()
    string(SUBSTRING "${dump}" ${start} -1 table)
    string(FIND "${table}" "\n\n" end)
    string(SUBSTRING "${table}" 0 ${end} table)
    string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
    set(exported "")
    foreach(row ${rows})
        string(REGEX REPLACE "^\t\\[ *[0-9]+\\] " "" name "${row}")
        if(NOT name MATCHES "^_Z")
            list(APPEND exported ${name})
        endif()
    endforeach()
    kxipc_def_names(${DEF} declared)
    list(SORT exported)
    list(SORT declared)
    if(NOT exported STREQUAL declared)
        message(FATAL_ERROR
            "${DLL} exports the C names [${exported}], kxipc_c.h declares [${declared}]")
    endif()
    return()
endif()

function(kxipc_add_c_exports target header)
    find_program(KXIPC_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool)
    if(NOT KXIPC_DLLTOOL OR NOT CMAKE_OBJDUMP)
        message(WARNING "llvm-dlltool or objdump not found: no lib/kxipc.lib for MSVC-ABI linkers")
        return()
    endif()
    # Every function the header declares with KXIPC_C_API, in the header's order.
    file(STRINGS ${header} declarations REGEX "^KXIPC_C_API ")
    set(def "LIBRARY kxipc.dll\nEXPORTS\n")
    foreach(declaration ${declarations})
        string(REGEX MATCH "(kxipc_[a-z_]+)\\(" name "${declaration}")
        string(APPEND def "    ${CMAKE_MATCH_1}\n")
    endforeach()
    set(def_file ${PROJECT_BINARY_DIR}/kxipc.def)
    file(CONFIGURE OUTPUT ${def_file} CONTENT "${def}" @ONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
    set(import_library ${PROJECT_BINARY_DIR}/lib/kxipc.lib)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:${target}> -DDEF=${def_file}
                -DOBJDUMP=${CMAKE_OBJDUMP} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
        COMMAND ${KXIPC_DLLTOOL} -m i386:x86-64 -d ${def_file} -l ${import_library} -D kxipc.dll
        COMMENT "Checking the C exports of kxipc.dll; making lib/kxipc.lib"
        VERBATIM)
    set(KXIPC_MSVC_IMPORT_LIBRARY ${import_library} PARENT_SCOPE)
endfunction()
