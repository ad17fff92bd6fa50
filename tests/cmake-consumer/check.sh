#!/usr/bin/env bash
# Builds the consumer project against an installed vandrel and checks what vandrel_generate does:
#   tests/cmake-consumer/check.sh PREFIX [GENERATOR]
# The default build converts the two files of fleet_xml (with the defines and the include folder
# it is given) and nothing else; a second build converts nothing; touching a file that is only
# included converts its includers again; the on-demand target converts when asked; a folder
# mirrored below BASE_DIR gets include references that resolve between its documents.
set -euo pipefail
prefix=$(cd "${1:?usage: check.sh PREFIX [GENERATOR]}" && pwd)
generator=${2:-Unix Makefiles}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A copy of the sources, so that touching them leaves the checkout alone.
cp -r "$here" "$work/src"
src=$work/src
bin=$work/build

fail() { echo "cmake-consumer: $*" >&2; exit 1; }
build() { cmake --build "$bin" "$@" 2>&1 | tee "$work/last.log"; }
converted() { grep -c "Converting $1 to DDS-XML" "$work/last.log" || true; }

cmake -G "$generator" -S "$src" -B "$bin" -DCMAKE_PREFIX_PATH="$prefix"
build

[ -f "$bin/xml/fleet.xml" ] || fail "fleet.xml was not written"
[ -f "$bin/xml/route.xml" ] || fail "route.xml was not written"
[ ! -e "$bin/common.xml" ] || fail "the target without ALL was built by default"
grep -q 'sequenceMaxLength="32"' "$bin/xml/route.xml" || fail "DEFINES MAX_STOPS=32 not applied"
grep -q 'name="eta"' "$bin/xml/route.xml" || fail "DEFINES WITH_ETA not applied"
grep -q '<include file="common.xml"/>' "$bin/xml/fleet.xml" || fail "fleet.xml lacks its include"

build
[ "$(converted fleet.idl)" = 0 ] || fail "an unchanged model was converted again"

# Make-style timestamps have a one-second grain on some file systems.
sleep 1
touch "$src/idl/include/common.idl"
build
[ "$(converted fleet.idl)" = 1 ] || fail "fleet.idl was not converted after common.idl changed"
[ "$(converted route.idl)" = 1 ] || fail "route.idl was not converted after common.idl changed"

sleep 1
touch "$src/idl/routes/route.idl"
build
[ "$(converted fleet.idl)" = 1 ] || fail "fleet.idl was not converted after route.idl changed"

build --target common_xml
[ -f "$bin/common.xml" ] || fail "the on-demand target wrote nothing"

# A folder in FILES, mirrored below BASE_DIR: includes point at the documents written beside.
build --target mirrored_xml
for doc in fleet.xml routes/route.xml include/common.xml; do
    [ -f "$bin/mirrored/$doc" ] || fail "mirrored_xml did not write $doc"
done
grep -q '<include file="routes/route.xml"/>' "$bin/mirrored/fleet.xml" ||
    fail "fleet.xml does not point at routes/route.xml"
grep -q '<include file="include/common.xml"/>' "$bin/mirrored/fleet.xml" ||
    fail "fleet.xml does not point at include/common.xml"
grep -q '<include file="../include/common.xml"/>' "$bin/mirrored/routes/route.xml" ||
    fail "route.xml does not point at ../include/common.xml"
echo "cmake-consumer: vandrel_generate works with $generator"
