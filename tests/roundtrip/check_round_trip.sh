#!/bin/sh
# IDL -> XML -> IDL' -> XML' gives XML' byte for byte equal to XML:
#  - the sample models, converted as one model in the compiler form and read back the same way
#    (names checked, included documents read);
#  - every document a golden case expects, each read back alone (its includes and names may
#    lie outside the case: --permissive) and converted again in the two-argument form.
#   check_round_trip.sh VANDREL MODELS_DIR GOLDEN_DIR
set -eu
vandrel=$1
models=$2
golden=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "round trip: $*" >&2; exit 1; }

"$vandrel" -q -o "$work/xml" "$models" || fail "the models do not convert"
"$vandrel" -q --from-xml -o "$work/idl" "$work/xml" || fail "the models' documents do not read back"
"$vandrel" -q -o "$work/xml2" "$work/idl" || fail "the models' IDL does not convert again"
diff -r "$work/xml" "$work/xml2" >&2 || fail "the models' documents changed"
models_n=$(find "$work/xml" -name '*.xml' | wc -l)

n=0
for xml in $(find "$golden" -path '*/expected/*.xml' -o -name expected.xml | sort); do
    n=$((n + 1))
    case_dir=$work/case$n
    mkdir -p "$case_dir"
    cp "$xml" "$case_dir/doc$n.xml"
    if ! "$vandrel" -q --permissive --from-xml -o "$case_dir" "$case_dir/doc$n.xml" 2> "$case_dir/log"; then
        # A model the checks refuse, let through by the forward --permissive, may hold values
        # (key="maybe") that no valid IDL gives: such a document need not read back.
        case_args=${xml%%/expected*}/args
        if [ -f "$case_args" ] && grep -q -- '--permissive' "$case_args"; then
            n=$((n - 1))
            continue
        fi
        cat "$case_dir/log" >&2
        fail "$xml does not read back"
    fi
    # A document of the compiler form comes back through the compiler form, whose values keep
    # blanks the two-argument form drops (permissive: the files it includes are not there).
    run="doc$n.idl again"
    [ -f "${xml%%/expected/*}/args" ] && run="-q --permissive -o again doc$n.idl"
    (cd "$case_dir" && "$vandrel" $run > log2 2>&1) ||
        { cat "$case_dir/log2" >&2; cat "$case_dir/doc$n.idl" >&2; fail "the IDL of $xml does not convert"; }
    cmp -s "$xml" "$case_dir/again/doc$n.xml" || {
        diff "$xml" "$case_dir/again/doc$n.xml" >&2 || true
        fail "$xml changed on the way (IDL read back: $case_dir/doc$n.idl)"
    }
done
[ "$n" -ge 30 ] || fail "only $n golden documents found"
echo "round trip: $models_n model documents and $n golden documents came back unchanged"
