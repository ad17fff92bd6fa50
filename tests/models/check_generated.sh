#!/bin/sh
# The model generator's output converts: one file, and a many-file model file by file.
#   check_generated.sh PYTHON VANDREL GEN_MODELS
# Also checks that the generator is deterministic and that the many-file model has what its
# benchmark relies on: include guards, includes between the files, reopened modules.
set -eu
python=$1
vandrel=$2
gen=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "generated models: $*" >&2; exit 1; }

"$python" "$gen" --size 200K --seed 5 --out "$work/one.idl"
"$python" "$gen" --size 200K --seed 5 --out "$work/again.idl"
cmp -s "$work/one.idl" "$work/again.idl" || fail "the same seed gave two different files"
size=$(wc -c < "$work/one.idl")
if [ "$size" -le 190000 ] || [ "$size" -gt 200000 ]; then
    fail "asked for 200000 bytes, got $size"
fi
"$vandrel" "$work/one.idl" "$work/out" > "$work/log" || { cat "$work/log"; fail "one.idl"; }

"$python" "$gen" --files 40 --seed 3 --out "$work/many"
"$python" "$gen" --files 40 --seed 3 --out "$work/many2"
diff -r "$work/many" "$work/many2" > /dev/null || fail "the same seed gave two different models"
n=0
for f in $(find "$work/many" -name '*.idl' | sort); do
    n=$((n + 1))
    grep -q '^#ifndef MODEL_' "$f" || fail "$f has no include guard"
    "$vandrel" "$f" "$work/out-many" > "$work/log" || { cat "$work/log"; fail "$f"; }
done
[ "$n" -eq 40 ] || fail "asked for 40 files, got $n"
includes=$(find "$work/many" -name '*.idl' -exec cat {} + | grep -c '^#include "')
[ "$includes" -ge 39 ] || fail "only $includes include lines between 40 files"
reopened=$(find "$work/many" -name '*.idl' -exec cat {} + | grep -c '^module Common {')
[ "$reopened" -ge 2 ] || fail "module Common is not reopened across files"
echo "generated models: 1 file of $size bytes and $n files converted"
