# bash completion for vandrel                                   -*- shell-script -*-
# Options of the compiler form; IDL files and folders as inputs (DDS-XML documents after
# --from-xml).

_vandrel()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD-1]}

    # bash splits "--color=al" into "--color", "=", "al": put the option back together.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    fi

    case $prev in
        -o|--output|-b|--base|-I)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return
            ;;
        -MF)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
            ;;
        -j|--jobs)
            mapfile -t COMPREPLY < <(compgen -W "1 2 4 8 $(nproc 2>/dev/null)" -- "$cur" | sort -nu)
            return
            ;;
        --color)
            mapfile -t COMPREPLY < <(compgen -W "auto always never" -- "$cur")
            return
            ;;
        --include-refs)
            mapfile -t COMPREPLY < <(compgen -W "written document" -- "$cur")
            return
            ;;
        -D|-U|--stdin-name)
            return
            ;;
    esac

    if [[ $cur == -Wno-* ]]; then
        # The kinds of warning, as the diagnostics name them.
        mapfile -t COMPREPLY < <(compgen -P -Wno- -W "unknown-annotation dropped-annotation
            custom-annotation key-pragma unknown-pragma name-case module-name undeclared permissive
            missing-include include-cycle missing-include-dir unknown-xml" -- "${cur#-Wno-}")
        return
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "-o --output -b --base -D -U -I -E -j --jobs -q --quiet
            --check --list --stdin-name --include-refs= -Werror -Wno- --permissive --from-xml
            -MD -MF -MP --color= -v --version -h --help" -- "$cur")
        [[ ${COMPREPLY[0]} == *[=-] ]] && compopt -o nospace 2>/dev/null
        return
    fi

    # Inputs: IDL files (documents with --from-xml) and the folders that may hold them.
    local pattern='!*.idl'
    [[ " ${COMP_WORDS[*]} " == *" --from-xml "* ]] && pattern='!*.xml'
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -f -X "$pattern" -- "$cur")
} &&
    complete -F _vandrel vandrel
