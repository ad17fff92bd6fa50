#!/bin/sh
# The compiler form under hostile models and faults: one case a run, each ending cleanly with
# nothing lost and the same result at every -j.
#   check_hostile.sh CASE VANDREL
set -eu
case_name=$1
vandrel=$2
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work"
fail() { echo "$case_name: $*" >&2; exit 1; }
# Runs vandrel with the arguments, keeping its standard error in err and its status in rc.
run() { rc=0; "$vandrel" "$@" 2> err || rc=$?; }
expect_err() { grep -qF -- "$1" err || { cat err >&2; fail "no '$1' on standard error"; }; }
# N nested module openings, or their N closings.
open_modules() { awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "module m%d {\n", i }'; }
close_modules() { awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) print "};" }'; }
# Memory an address space may take here (sanitizer builds reserve more than any limit).
limit_memory() { if (ulimit -v 2000000 && "$vandrel" --version) >/dev/null 2>&1; then ulimit -v 2000000; fi; }

case $case_name in
shared_document)
    # out/b is a link to out/a: both inputs would write one document.
    mkdir -p src/a src/b out/a && ln -s a out/b
    echo 'struct A { long x; };' > src/a/x.idl
    echo 'struct B { long y; };' > src/b/x.idl
    run -q -o out -b src src
    [ "$rc" = 1 ] || fail "status $rc"
    expect_err "src/b/x.idl: src/a/x.idl already writes out/a/x.xml, the same file as out/b/x.xml"
    grep -q 'name="A"' out/a/x.xml || fail "the first input's document is gone" ;;
deep_modules)
    # Refused at the limit, before the deeper modules cost anything.
    { open_modules 20000; echo 'struct S { long x; };'; close_modules 20000; } > deep.idl
    (limit_memory; "$vandrel" -q -o out deep.idl) 2> err && fail "too deep a model converts"
    expect_err "deep.idl:4097:1: error: Modules nest deeper than 4096 levels"
    [ ! -e out/deep.xml ] || fail "a document was written"
    # As deep as allowed, with long names: each name is kept once, not once per level inside.
    pad=$(awk 'BEGIN { while (n++ < 195) printf "x" }')
    { open_modules 4000 | sed "s/module m/module $pad/"; echo 'enum E { A, B }; const E C = E::B;'
      echo 'union U switch (E) { case A: long a; };'; close_modules 4000; } > long.idl
    (limit_memory; "$vandrel" -q -o out long.idl) 2> err || { cat err >&2; fail "long names fail"; }
    grep -q 'name="C" type="nonBasic" nonBasicTypeName="E" value="E::B"' out/long.xml || fail "no C" ;;
deep_lookup)
    # 10,000 uses, 2,000 modules deep, of a name declared in the file scope.
    { echo 'struct Target { long x; };'; open_modules 2000; echo 'struct U {'
      awk 'BEGIN { for (i = 0; i < 10000; i++) printf "Target t%d;\n", i }'
      echo '};'; close_modules 2000; } > uses.idl
    (limit_memory; "$vandrel" -q -o out uses.idl) 2> err || { cat err >&2; fail "does not convert"; }
    [ "$(grep -c 'nonBasicTypeName="Target"' out/uses.xml)" = 10000 ] || fail "uses lost" ;;
link_then_dotdot)
    # "lnk/../x.idl" goes up from where the link leads, as open(2) does.
    mkdir -p real/sub m && ln -s ../real/sub m/lnk
    echo 'struct Right { long x; };' > real/x.idl
    echo 'struct Wrong { long x; };' > m/x.idl
    printf '#include "lnk/../x.idl"\nstruct T { Right r; };\n' > m/t.idl
    run -q -MD -o out m/t.idl
    [ "$rc" = 0 ] || { cat err >&2; fail "status $rc"; }
    [ "$(cat out/t.xml.d)" = "out/t.xml: m/t.idl m/lnk/../x.idl" ] || fail "rule: $(cat out/t.xml.d)" ;;
file_size_limit)
    # A write over the file-size limit fails with its reason; what a killed run left is removed.
    awk 'BEGIN { for (i = 0; i < 20000; i++) printf "struct S%d { long x; };\n", i }' > big.idl
    mkdir out && sh -c 'exit 0' & wait $!
    dead=$!
    touch "out/.vandrel-$dead-0.tmp" "out/.vandrel-$$-0.tmp"
    rc=0; (ulimit -f 200; exec "$vandrel" -q -o out big.idl) 2> err || rc=$?
    [ "$rc" = 1 ] || fail "status $rc"
    expect_err "cannot write 'out/big.xml': File too large"
    [ "$(ls -A out)" = ".vandrel-$$-0.tmp" ] || fail "left: $(ls -A out)" ;;
long_name)
    # A document name near the file system's limit; a failed run removes the folders it made.
    name=$(awk 'BEGIN { for (i = 0; i < 244; i++) printf "n" }')
    echo 'struct A { long x; };' > "$name.idl"
    run -q -o out/sub "$name.idl"
    [ "$rc" = 0 ] && [ -s "out/sub/$name.xml" ] || { cat err >&2; fail "status $rc"; }
    mkdir kept && touch kept/file
    run -q -MD -MF kept/file/rule.d -o kept/new/deeper "$name.idl"
    [ "$rc" = 1 ] || fail "status $rc"
    expect_err "cannot create 'kept/file/rule.d': Not a directory"
    [ "$(ls -A kept)" = file ] || fail "left: $(ls -A kept)" ;;
rule_fails)
    # The make rule cannot be written: the document in place is not replaced.
    echo 'struct A { long x; };' > t.idl
    mkdir -p out/t.xml.d && echo old > out/t.xml
    run -q -MD -o out t.idl
    [ "$rc" = 1 ] || fail "status $rc"
    expect_err "vandrel: error: cannot create 'out/t.xml.d': Is a directory"
    [ "$(cat out/t.xml)" = old ] || fail "the document was replaced"
    [ -z "$(ls -A out | grep -v '^t.xml')" ] || fail "left: $(ls -A out)" ;;
same_at_every_j)
    # Cycles, errors, an include chain deeper than the limit and files many inputs include:
    # documents, rules, status and diagnostics are the same at every -j, run after run.
    mkdir m && cd m
    for i in $(seq 0 79); do
        { [ "$i" -lt 79 ] && echo "#include \"c$((i + 1)).idl\""; echo "struct C$i { long x; };"; } > "c$i.idl"
    done
    for i in $(seq 0 59); do
        { echo "#define M$i $((i + 1))"; echo "#include \"d$(((i + 1) % 60)).idl\""
          echo "#include \"common.idl\""; echo "struct D$i { long v[M$(((i + 59) % 60))]; };"
          [ $((i % 7)) = 3 ] && echo "struct Bad$i { Missing$i m; };"; echo; } > "d$i.idl"
    done
    printf '#ifndef COMMON\n#define COMMON\nstruct Common { Undeclared u; };\n#endif\n' > common.idl
    cd ..
    for j in 1 2 8 1 2 8 8; do
        rc=0; "$vandrel" -q -MD -o out -j "$j" m 2> "err$j" || rc=$?
        echo "$rc" >> "err$j"
        if [ -e ref ]; then
            cmp "err$j" ref/err || { diff "err$j" ref/err >&2; fail "stderr differs at -j $j"; }
            diff -r out ref/out >&2 || fail "output differs at -j $j"
        else
            mkdir ref && cp "err$j" ref/err && cp -r out ref/out
        fi
        rm -rf out
    done
    [ "$(ls ref/out | grep -c 'xml$')" -gt 50 ] || fail "too few documents: $(ls ref/out | wc -l)" ;;
*) fail "no such case" ;;
esac
