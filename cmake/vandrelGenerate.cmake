# vandrel_generate(TARGET <name> [ALL] FILES <idl or folder>... [BASE_DIR <dir>]
#                  [OUTPUT_DIR <dir>] [INCLUDE_DIRS <dir>...] [DEFINES <name>[=<value>]...])
#
# Creates the custom target <name>, which converts each IDL file into its DDS-XML document in
# OUTPUT_DIR (default: the current binary folder; a relative folder is taken below it). A
# document is rebuilt when its IDL file, a file that IDL file includes (directly or not) or the
# converter changes: each conversion writes a make-style dependency file that the build tool
# reads. ALL adds the target to the default build. Relative FILES, BASE_DIR and INCLUDE_DIRS are
# taken below the current source folder; INCLUDE_DIRS are searched for included files (-I) in
# order, DEFINES are defined as macros before each file is read (-D).
#
# A folder in FILES stands for every *.idl file below it (found when CMake configures; a new file
# is picked up at the next build), its layout mirrored below OUTPUT_DIR. With BASE_DIR every
# document mirrors the folder of its file relative to BASE_DIR (as vandrel's -b), so files of the
# same name in different folders get documents of their own; a file outside BASE_DIR is an
# error. Without either, a file's document goes straight into OUTPUT_DIR. Include references are
# written relative to the document that holds them (--include-refs=document), pointing at the
# document of the included file when that file lies below BASE_DIR.
#
# The document of `a.idl` is `a.xml` (the first ".idl" of the file name becomes ".xml"). The
# target's property VANDREL_OUTPUTS lists the documents, for use by other rules.
include_guard(GLOBAL)

# Adds the command converting `idl` whose document goes to `out_dir`/`rel`; a macro, so that it
# extends the caller's lists.
macro(_vandrel_generate_file idl rel)
    get_filename_component(_vg_name "${idl}" NAME)
    string(FIND "${_vg_name}" ".idl" _vg_at)
    if(_vg_at EQUAL -1)
        message(FATAL_ERROR "vandrel_generate(${ARG_TARGET}): '${idl}' has no \".idl\" in its "
                            "name, so it has no document name")
    endif()
    string(SUBSTRING "${_vg_name}" 0 ${_vg_at} _vg_stem)
    math(EXPR _vg_rest_at "${_vg_at} + 4")
    string(SUBSTRING "${_vg_name}" ${_vg_rest_at} -1 _vg_rest)
    set(_vg_folder "${out_dir}")
    set(_vg_dep_folder "${dep_dir}")
    if(NOT "${rel}" STREQUAL "")
        set(_vg_folder "${out_dir}/${rel}")
        set(_vg_dep_folder "${dep_dir}/${rel}")
    endif()
    set(_vg_document "${_vg_folder}/${_vg_stem}.xml${_vg_rest}")
    if(_vg_document IN_LIST outputs)
        message(FATAL_ERROR "vandrel_generate(${ARG_TARGET}): two FILES give the document "
                            "'${_vg_document}'; give a BASE_DIR or convert them into different "
                            "OUTPUT_DIRs")
    endif()
    list(APPEND outputs "${_vg_document}")
    list(APPEND sources "${idl}")
    file(MAKE_DIRECTORY "${_vg_dep_folder}")
    set(_vg_depfile "${_vg_dep_folder}/${_vg_stem}.xml${_vg_rest}.d")
    set(_vg_depfile_args)
    if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.20)
        set(_vg_depfile_args DEPFILE "${_vg_depfile}")
    endif()
    # With BASE_DIR vandrel mirrors the folder itself; otherwise the folder is named outright.
    set(_vg_output -o "${_vg_folder}")
    if(base_dir)
        set(_vg_output -o "${out_dir}" -b "${base_dir}")
    endif()
    add_custom_command(
        OUTPUT "${_vg_document}"
        COMMAND vandrel::vandrel ${options} ${_vg_output} -MF "${_vg_depfile}" "${idl}"
        DEPENDS "${idl}" "$<TARGET_FILE:vandrel::vandrel>"
        ${_vg_depfile_args}
        WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
        COMMENT "Converting ${_vg_name} to DDS-XML"
        VERBATIM)
endmacro()

function(vandrel_generate)
    cmake_parse_arguments(PARSE_ARGV 0 ARG "ALL" "TARGET;OUTPUT_DIR;BASE_DIR"
                          "FILES;INCLUDE_DIRS;DEFINES")
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
    set(base_dir "")
    if(DEFINED ARG_BASE_DIR)
        get_filename_component(base_dir "${ARG_BASE_DIR}" ABSOLUTE
                               BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
    set(dep_dir "${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}.vandrel-deps")
    file(MAKE_DIRECTORY "${dep_dir}")

    set(options -q --include-refs=document)
    foreach(dir IN LISTS ARG_INCLUDE_DIRS)
        get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND options "-I${dir}")
    endforeach()
    foreach(def IN LISTS ARG_DEFINES)
        list(APPEND options "-D${def}")
    endforeach()

    set(outputs)
    set(sources)
    foreach(entry IN LISTS ARG_FILES)
        get_filename_component(entry "${entry}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        set(files "${entry}")
        set(root "")
        if(IS_DIRECTORY "${entry}")
            file(GLOB_RECURSE files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${entry}/*.idl")
            list(SORT files)
            if(NOT files)
                message(FATAL_ERROR "vandrel_generate(${ARG_TARGET}): '${entry}' holds no .idl "
                                    "file")
            endif()
            set(root "${entry}")
        endif()
        if(base_dir)
            set(root "${base_dir}")
        endif()
        foreach(idl IN LISTS files)
            set(rel "")
            if(root)
                get_filename_component(folder "${idl}" DIRECTORY)
                file(RELATIVE_PATH rel "${root}" "${folder}")
                if(rel MATCHES "^\\.\\.(/|$)")
                    message(FATAL_ERROR "vandrel_generate(${ARG_TARGET}): '${idl}' is not below "
                                        "BASE_DIR '${base_dir}'")
                endif()
            endif()
            _vandrel_generate_file("${idl}" "${rel}")
        endforeach()
    endforeach()

    set(all)
    if(ARG_ALL)
        set(all ALL)
    endif()
    add_custom_target("${ARG_TARGET}" ${all} DEPENDS ${outputs} SOURCES ${sources})
    set_target_properties("${ARG_TARGET}" PROPERTIES VANDREL_OUTPUTS "${outputs}")
endfunction()
