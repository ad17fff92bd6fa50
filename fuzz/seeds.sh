#!/bin/sh
# Builds the seed corpora of the fuzz targets from the golden cases and the sample models.
#   fuzz/seeds.sh OUTDIR
# OUTDIR/pipeline and OUTDIR/cleaner get every input.idl of tests/golden and every .idl below
# tests/models (and below the folder VANDREL_CORPUS names, when set); OUTDIR/directive gets each
# directive line of those files (one file per line); OUTDIR/ifexpr gets each #if/#elif condition
# with the directive word taken off; OUTDIR/xmlin gets every document the golden cases expect or
# read back; OUTDIR/loader and OUTDIR/check get small models of files that include one another
# (files split at "---" lines) and, for check, every input.idl of tests/golden. Nothing outside
# the repository is read unless asked for.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: seeds.sh OUTDIR}
corpus=${VANDREL_CORPUS:-}
mkdir -p "$out/pipeline" "$out/cleaner" "$out/directive" "$out/ifexpr" "$out/xmlin" \
    "$out/loader" "$out/check"
n=0
extra=
if [ -n "$corpus" ]; then
    extra=$(find "$corpus" -name '*.idl' | sort)
fi
for f in "$root"/tests/golden/*/input.idl $(find "$root/tests/models" -name '*.idl' | sort) $extra; do
    [ -f "$f" ] || continue
    n=$((n + 1))
    cp "$f" "$out/pipeline/seed$n.idl"
    cp "$f" "$out/cleaner/seed$n.idl"
    cp "$f" "$out/check/seed$n.idl"
    i=0
    grep -E '^[[:space:]]*#' "$f" | while IFS= read -r line; do
        i=$((i + 1))
        printf '%s\n' "$line" > "$out/directive/seed$n-$i"
        cond=$(printf '%s\n' "$line" | sed -nE 's/^[[:space:]]*#[[:space:]]*(el)?if[[:space:]]+//p')
        if [ -n "$cond" ]; then
            printf '%s\n' "$cond" > "$out/ifexpr/seed$n-$i"
        fi
    done
done
x=0
for f in $(find "$root/tests/golden" -name '*.xml' | sort); do
    x=$((x + 1))
    cp "$f" "$out/xmlin/seed$x.xml"
done
# A few shapes the files above may lack.
printf '#define F(a,b) a##b #a\nF(x,y)\n' > "$out/directive/extra1"
printf '#include "dir/a b.idl"\n' > "$out/directive/extra2"
printf '#include <dds/DdsDcpsCore.idl>\n' > "$out/directive/extra3"
printf '#if defined FEATURES\n#include FEATURES\n#elif 0\n#bogus\n#endif\n' > "$out/directive/extra4"
printf '@::V::tag() union U switch (@key long) { case 1: @verbatim(text="a" "b") long a; };\n' \
    > "$out/pipeline/extra1.idl"
printf 'defined(ONE) && SQ(TWO) > 3 || (BIG >> 63) == 1\n' > "$out/ifexpr/extra1"
printf '%s\n' '(1 ? 2 : 3) % 0' > "$out/ifexpr/extra2"
printf '<types><struct name="S"><member name="a" type="string" note="x y" stringMaxLength="N"/></struct></types>\n' \
    > "$out/xmlin/extra1.xml"
# Models of a few files (a.idl to d.idl): guards, a cycle, macros handed on and read again
# under others, an include chain, an error in an included file.
model() { printf "$2" > "$out/loader/$1"; cp "$out/loader/$1" "$out/check/$1"; }
model guards '#include "b.idl"\n#include "b.idl"\nstruct A { B b; };\n---\n#ifndef B_IDL\n#define B_IDL\nstruct B { long x; };\n#endif\n'
model cycle '#define A_SIZE 2\n#include "b.idl"\nstruct A { long v[B_SIZE]; };\n---\n#define B_SIZE 3\n#include "a.idl"\nstruct B { long w[A_SIZE]; };\n'
model macros '#define N 4\n#include "c.idl"\n#undef N\n#define N 5\n#include "c.idl"\n---\n#include <c.idl>\n---\nmodule M { const long K = N; typedef sequence<long, N> S; };\n'
model chain '#include "b.idl"\nmodule M { struct A : ::M::B { C c; }; };\n---\n#include "c.idl"\nmodule M { struct B { @key long id; }; };\n---\n#include "d.idl"\nstruct C { E e; };\n---\nenum E { RED, GREEN };\n'
model errors '#include "b.idl"\n#include "missing.idl"\nstruct A { Undeclared u; };\n---\n#if X\n#error no\n#endif\nunion U switch (long) { case 1: long a; case 1: long b; };\n'
echo "seeds: $n files and $x documents into $out"
