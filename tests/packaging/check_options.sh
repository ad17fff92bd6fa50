#!/bin/sh
# Every option the program's --help lists is offered by the bash completion and documented in
# the manual page, and the completion offers nothing the manual page does not document.
#   check_options.sh VANDREL MANUAL_PAGE COMPLETION
set -eu
vandrel=$1
manual=$2
completion=$3
fail() { echo "options: $*" >&2; exit 1; }

# The words of the completion's option list ("-o --output ... --help").
offered=$(tr '\n' ' ' < "$completion" | sed -n 's/.*compgen -W "\(-o [^"]*\)".*/\1/p' |
    tr -s ' ' '\n' | sed 's/=$//')
[ -n "$offered" ] || fail "no option list found in $completion"

documented() { # the manual page writes each '-' of an option as '\-'
    escaped=$(printf '%s' "$1" | sed 's/-/\\\\-/g')
    grep -q -- "$escaped" "$manual"
}
for opt in $offered; do
    documented "$opt" || fail "$opt is offered by the completion but not in the manual page"
done

help=$("$vandrel" --help) || fail "vandrel --help failed"
listed=$(printf '%s\n' "$help" | grep -oE '(^|[ ,[])--?[A-Za-z][A-Za-z-]*' | sed 's/^[ ,[]//' |
    sort -u)
[ -n "$listed" ] || fail "vandrel --help lists no option"
for opt in $listed; do
    printf '%s\n' "$offered" | grep -qx -- "$opt" ||
        fail "$opt is in --help but not offered by the completion"
    documented "$opt" || fail "$opt is in --help but not in the manual page"
done
echo "options: $(printf '%s\n' "$listed" | wc -l) options of --help offered and documented"
