# vandrel_generate(TARGET <name> [ALL] FILES <idl>...
#                  [OUTPUT_DIR <dir>] [INCLUDE_DIRS <dir>...] [DEFINES <name>[=<value>]...])
#
# Creates the custom target <name>, which converts each IDL file into its DDS-XML document in
# OUTPUT_DIR (default: the current binary folder; a relative folder is taken below it). A
# document is rebuilt when its IDL file, a file that IDL file includes (directly or not) or the
# converter changes: each conversion writes a make-style dependency file that the build tool
# reads. ALL adds the target to the default build. Relative FILES and INCLUDE_DIRS are taken
# below the current source folder; INCLUDE_DIRS are searched for included files (-I) in order,
# DEFINES are defined as macros before each file is read (-D).
#
# The document of `a.idl` is `a.xml` (the first ".idl" of the file name becomes ".xml"). The
# target's property VANDREL_OUTPUTS lists the documents, for use by other rules.
include_guard(GLOBAL)

function(vandrel_generate)
    cmake_parse_arguments(PARSE_ARGV 0 ARG "ALL" "TARGET;OUTPUT_DIR" "FILES;INCLUDE_DIRS;DEFINES")
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "vandrel_generate: unexpected arguments: ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT ARG_TARGET)
        message(FATAL_ERROR "vandrel_generate: TARGET <name> is required")
    endif()
    if(TARGET "${ARG_TARGET}")
        message(FATAL_ERROR "vandrel_generate: a target named '${ARG_TARGET}' already exists")
    endif()
    if(NOT ARG_FILES)
        message(FATAL_ERROR "vandrel_generate(${ARG_TARGET}): FILES <idl>... is required")
    endif()
    if(NOT TARGET vandrel::vandrel)
        message(FATAL_ERROR "vandrel_generate: the imported target vandrel::vandrel is missing; "
                            "call find_package(vandrel) first")
    endif()

    set(out_dir "${CMAKE_CURRENT_BINARY_DIR}")
    if(DEFINED ARG_OUTPUT_DIR)
        get_filename_component(out_dir "${ARG_OUTPUT_DIR}" ABSOLUTE
                               BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    endif()
    set(dep_dir "${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}.vandrel-deps")
    file(MAKE_DIRECTORY "${dep_dir}")

    set(options -q -o "${out_dir}")
    foreach(dir IN LISTS ARG_INCLUDE_DIRS)
        get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND options "-I${dir}")
    endforeach()
    foreach(def IN LISTS ARG_DEFINES)
        list(APPEND options "-D${def}")
    endforeach()

    set(outputs)
    set(sources)
    foreach(idl IN LISTS ARG_FILES)
        get_filename_component(idl "${idl}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        get_filename_component(name "${idl}" NAME)
        string(FIND "${name}" ".idl" at)
        if(at EQUAL -1)
            message(FATAL_ERROR "vandrel_generate(${ARG_TARGET}): '${idl}' has no \".idl\" in its "
                                "name, so it has no document name")
        endif()
        string(SUBSTRING "${name}" 0 ${at} stem)
        math(EXPR rest_at "${at} + 4")
        string(SUBSTRING "${name}" ${rest_at} -1 rest)
        set(document "${out_dir}/${stem}.xml${rest}")
        if(document IN_LIST outputs)
            message(FATAL_ERROR "vandrel_generate(${ARG_TARGET}): two FILES give the document "
                                "'${document}'; convert them into different OUTPUT_DIRs")
        endif()
        list(APPEND outputs "${document}")
        list(APPEND sources "${idl}")

        set(depfile "${dep_dir}/${stem}.xml${rest}.d")
        set(depfile_args)
        if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.20)
            set(depfile_args DEPFILE "${depfile}")
        endif()
        add_custom_command(
            OUTPUT "${document}"
            COMMAND vandrel::vandrel ${options} -MF "${depfile}" "${idl}"
            DEPENDS "${idl}" "$<TARGET_FILE:vandrel::vandrel>"
            ${depfile_args}
            WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
            COMMENT "Converting ${name} to DDS-XML"
            VERBATIM)
    endforeach()

    set(all)
    if(ARG_ALL)
        set(all ALL)
    endif()
    add_custom_target("${ARG_TARGET}" ${all} DEPENDS ${outputs} SOURCES ${sources})
    set_target_properties("${ARG_TARGET}" PROPERTIES VANDREL_OUTPUTS "${outputs}")
endfunction()
