#!/usr/bin/env bash
# Installs a build of vexor into a temporary prefix, checks what the install put there, then
# configures, builds and runs tests/consumer against that prefix alone.
# Arguments: cmake, build dir, consumer source dir, configuration, generator, C++ compiler,
# sanitizers ("" for none), then the bin, lib, include and man directories relative to the prefix.
set -euo pipefail
CMAKE=$1 BUILD=$2 CONSUMER=$3 CONFIG=$4 GENERATOR=$5 CXX=$6 SANITIZE=$7
BINDIR=$8 LIBDIR=$9 INCLUDEDIR=${10} MANDIR=${11}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vexor-consumer-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
PREFIX=$WORK/prefix

step() { echo "== $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

step "install into $PREFIX"
"$CMAKE" --install "$BUILD" --prefix "$PREFIX" ${CONFIG:+--config "$CONFIG"} >"$WORK/install.log" 2>&1 ||
  { cat "$WORK/install.log"; fail "cmake --install"; }

for File in "$BINDIR/vexor" "$MANDIR/man1/vexor.1" "$LIBDIR/libvexor.a" \
  "$INCLUDEDIR/vexor/encoder/qvEncoder.h" "$INCLUDEDIR/vexor/runtime/classes.h" \
  "$INCLUDEDIR/vexor/runtime/sysutils.h" "$INCLUDEDIR/vexor/runtime/streams.h" \
  "$LIBDIR/cmake/vexor/vexorConfig.cmake" "$LIBDIR/cmake/vexor/vexorConfigVersion.cmake"; do
  [ -f "$PREFIX/$File" ] || fail "the install has no $File"
done
# The internal header and the driver's sources stay out of the public surface.
[ ! -e "$PREFIX/$INCLUDEDIR/vexor/encoder/qvEncoderInternal.h" ] || fail "qvEncoderInternal.h is installed"
[ ! -e "$PREFIX/$INCLUDEDIR/vexor/app" ] || fail "app/ headers are installed"
[ -x "$PREFIX/$BINDIR/vexor" ] || fail "bin/vexor is not executable"

step "the installed program"
printf 'installed\r\n\0\377' >"$WORK/in"
(cd "$WORK" && "$PREFIX/$BINDIR/vexor" in out E X </dev/null) >"$WORK/run.out"
printf 'Done.\r\n' | cmp -s - "$WORK/run.out" || fail "bin/vexor printed: $(cat "$WORK/run.out")"
cmp -s "$WORK/in" "$WORK/out" || fail "bin/vexor did not copy the file"

if command -v groff >/dev/null 2>&1; then
  step "the installed manual page"
  Warnings=$(groff -man -ww -z "$PREFIX/$MANDIR/man1/vexor.1" 2>&1 || true)
  [ -z "$Warnings" ] || fail "groff: $Warnings"
fi

step "configure tests/consumer against the prefix"
Flags=()
if [ -n "$SANITIZE" ]; then
  # The library was built with the sanitizers; whatever links it needs their runtime.
  Flags+=("-DCMAKE_CXX_FLAGS=-fsanitize=$SANITIZE" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=$SANITIZE")
fi
"$CMAKE" -S "$CONSUMER" -B "$WORK/build" -G "$GENERATOR" -DCMAKE_CXX_COMPILER="$CXX" \
  ${CONFIG:+-DCMAKE_BUILD_TYPE="$CONFIG"} -DCMAKE_PREFIX_PATH="$PREFIX" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  "${Flags[@]}" >"$WORK/configure.log" 2>&1 || { cat "$WORK/configure.log"; fail "configure"; }
Found=$(sed -n 's/^vexor_DIR:PATH=//p' "$WORK/build/CMakeCache.txt")
[ "$Found" = "$PREFIX/$LIBDIR/cmake/vexor" ] || fail "found the package at '$Found', not in the prefix"

step "build and run the consumer"
"$CMAKE" --build "$WORK/build" ${CONFIG:+--config "$CONFIG"} >"$WORK/build.log" 2>&1 ||
  { cat "$WORK/build.log"; fail "build"; }
Program=$(find "$WORK/build" -name consumer -type f -perm -u+x | head -n 1)
[ -n "$Program" ] || fail "no consumer program was built"
"$Program" "$WORK"
