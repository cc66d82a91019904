#!/usr/bin/env bash
# vexor as other projects use it. This build, and a second build of the other library kind
# (static or shared), are each installed into a prefix of their own. Against each prefix the
# install is checked, and tests/consumer is built and run through the CMake package and through
# pkg-config (a plain compiler line, with and without --static). The shared library must carry
# its SONAME and export nothing but the public surface. Last, tests/consumer is built as a
# parent project that adds vexor's source tree with add_subdirectory and keeps its own
# language level and build type.
# Arguments: cmake, build dir, vexor's source dir, consumer source dir, configuration,
# generator, C++ compiler, sanitizers ("" for none), then the bin, lib, include and man
# directories relative to the prefix.
set -euo pipefail
CMAKE=$1 BUILD=$2 SOURCE=$3 CONSUMER=$4 CONFIG=$5 GENERATOR=$6 CXX=$7 SANITIZE=$8
BINDIR=$9 LIBDIR=${10} INCLUDEDIR=${11} MANDIR=${12}
JOBS=$(nproc 2>/dev/null || echo 2)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vexor-consumer-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

step() { echo "== $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs a command with its output in a log, shown only when it fails.
quiet() {
  local Log=$WORK/$1.log
  shift
  "$@" >"$Log" 2>&1 || { cat "$Log"; fail "$*"; }
}

# What a program that links the library needs when the library was built with the sanitizers.
SanitizeFlags=()
[ -z "$SANITIZE" ] || SanitizeFlags=("-fsanitize=$SANITIZE")
ConsumerFlags=(-G "$GENERATOR" -DCMAKE_CXX_COMPILER="$CXX" ${CONFIG:+-DCMAKE_BUILD_TYPE="$CONFIG"}
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
if [ -n "$SANITIZE" ]; then
  ConsumerFlags+=("-DCMAKE_CXX_FLAGS=-fsanitize=$SANITIZE" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=$SANITIZE")
fi

# The public surface, as demangled names: the component, its error and RaiseEncoderError, and
# the runtime's object, component, stream and exception classes with their two helpers.
PublicClass='(TqvEncoder|EqvEncoderError|rtl::(TObject|TComponent|TStream|TMemoryStream|TFileStream|Exception|EStreamError|EReadError|EWriteError|EFOpenError|EFCreateError|EInOutError|EOutOfMemory))'
Public="^((typeinfo for |typeinfo name for |vtable for )?$PublicClass(::.*)?|RaiseEncoderError\(.*|rtl::(ExpandFileName|SysErrorMessage)[[(].*)\$"

check_install() { # prefix, kind
  local Prefix=$1 Kind=$2 Lib=$1/$LIBDIR
  for File in "$BINDIR/vexor" "$MANDIR/man1/vexor.1" \
    "$INCLUDEDIR/vexor/encoder/qvEncoder.h" "$INCLUDEDIR/vexor/runtime/classes.h" \
    "$INCLUDEDIR/vexor/runtime/sysutils.h" "$INCLUDEDIR/vexor/runtime/streams.h" \
    "$LIBDIR/cmake/vexor/vexorConfig.cmake" "$LIBDIR/cmake/vexor/vexorConfigVersion.cmake" \
    "$LIBDIR/pkgconfig/vexor.pc"; do
    [ -f "$Prefix/$File" ] || fail "the $Kind install has no $File"
  done
  # The internal headers and the driver's sources stay out of the public surface.
  [ -z "$(find "$Prefix/$INCLUDEDIR/vexor" -name '*Internal.h')" ] || fail "an internal header is installed"
  [ ! -e "$Prefix/$INCLUDEDIR/vexor/app" ] || fail "app/ headers are installed"
  [ -x "$Prefix/$BINDIR/vexor" ] || fail "bin/vexor is not executable"
  if [ "$Kind" = static ]; then
    [ -f "$Lib/libvexor.a" ] || fail "the static install has no libvexor.a"
    [ -z "$(find "$Lib" -maxdepth 1 -name 'libvexor.so*')" ] || fail "the static install has a libvexor.so"
  else
    [ ! -e "$Lib/libvexor.a" ] || fail "the shared install has a libvexor.a"
    [ -L "$Lib/libvexor.so" ] || fail "the shared install has no libvexor.so link"
    local Real
    Real=$(find "$Lib" -maxdepth 1 -type f -name 'libvexor.so.*.*.*')
    [ -n "$Real" ] || fail "the shared install has no versioned libvexor.so"
    [ "$(readlink -f "$Lib/libvexor.so")" = "$(readlink -f "$Real")" ] || fail "libvexor.so points elsewhere"
  fi

  # The installed program works the same in both kinds (it carries the library's code itself).
  printf 'installed\r\n\0\377' >"$WORK/in"
  (cd "$WORK" && "$Prefix/$BINDIR/vexor" in out E X </dev/null) >"$WORK/run.out"
  printf 'Done.\r\n' | cmp -s - "$WORK/run.out" || fail "bin/vexor printed: $(cat "$WORK/run.out")"
  cmp -s "$WORK/in" "$WORK/out" || fail "bin/vexor did not copy the file"
}

check_shared_library() { # prefix
  local Lib=$1/$LIBDIR/libvexor.so Major
  Major=$(sed -n 's/^Version: \([0-9]*\).*/\1/p' "$1/$LIBDIR/pkgconfig/vexor.pc")
  if command -v readelf >/dev/null 2>&1; then
    readelf -d "$Lib" | grep -q "(SONAME).*\[libvexor\.so\.$Major\]" ||
      fail "libvexor.so has no SONAME libvexor.so.$Major: $(readelf -d "$Lib" | grep SONAME)"
    [ -e "$1/$LIBDIR/libvexor.so.$Major" ] || fail "no libvexor.so.$Major link for the SONAME"
  fi
  if command -v nm >/dev/null 2>&1; then
    nm -D --defined-only "$Lib" | awk 'NF == 3 { print $3 }' | sed 's/@.*//' | c++filt >"$WORK/exports"
    grep -q '^TqvEncoder::Encode(' "$WORK/exports" || fail "libvexor.so does not export TqvEncoder::Encode"
    grep -q '^typeinfo for EqvEncoderError$' "$WORK/exports" || fail "libvexor.so does not export EqvEncoderError's type"
    if grep -Ev "$Public" "$WORK/exports" >"$WORK/extra"; then
      head -n 20 "$WORK/extra" >&2
      fail "libvexor.so exports $(wc -l <"$WORK/extra") symbols outside the public surface"
    fi
    echo "libvexor.so exports $(wc -l <"$WORK/exports") symbols, all public"
  fi
}

consumer_by_package() { # prefix, kind
  local Prefix=$1 Kind=$2 Build=$WORK/consumer-$2
  quiet "configure-$Kind" "$CMAKE" -S "$CONSUMER" -B "$Build" "${ConsumerFlags[@]}" \
    -DCMAKE_PREFIX_PATH="$Prefix"
  local Found
  Found=$(sed -n 's/^vexor_DIR:PATH=//p' "$Build/CMakeCache.txt")
  [ "$Found" = "$Prefix/$LIBDIR/cmake/vexor" ] || fail "found the package at '$Found', not in the prefix"
  quiet "build-$Kind" "$CMAKE" --build "$Build" ${CONFIG:+--config "$CONFIG"}
  local Program
  Program=$(find "$Build" -name consumer -type f -perm -u+x | head -n 1)
  [ -n "$Program" ] || fail "no consumer program was built"
  check_links "$Program" "$Kind"
  "$Program" "$WORK"
}

consumer_by_pkg_config() { # prefix, kind
  local Prefix=$1 Kind=$2 Mode Flags Program
  if ! command -v pkg-config >/dev/null 2>&1; then
    echo "pkg-config is not installed: the pkg-config consumer is skipped"
    return
  fi
  for Mode in "" --static; do
    # Only the prefix's own file: PKG_CONFIG_LIBDIR replaces the default search path.
    Flags=$(PKG_CONFIG_LIBDIR=$Prefix/$LIBDIR/pkgconfig pkg-config $Mode --cflags --libs vexor)
    echo "pkg-config $Mode --cflags --libs vexor: $Flags"
    Program=$WORK/pc-consumer-$Kind${Mode:+-static}
    # The compiler line a user writes, with the prefix's flags word-split as the shell does.
    # shellcheck disable=SC2086
    quiet "pc-build-$Kind$Mode" "$CXX" -std=c++20 "${SanitizeFlags[@]}" "$CONSUMER/main.cpp" \
      $Flags -o "$Program"
    check_links "$Program" "$Kind"
    LD_LIBRARY_PATH=$Prefix/$LIBDIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$Program" "$WORK"
  done
}

# A consumer of the shared install loads libvexor.so.N; one of the static install does not.
check_links() { # program, kind
  command -v readelf >/dev/null 2>&1 || return 0
  if readelf -d "$1" | grep -q '(NEEDED).*\[libvexor\.so'; then
    [ "$2" = shared ] || fail "$(basename "$1") needs libvexor.so, but the install is static"
  else
    [ "$2" = static ] || fail "$(basename "$1") does not load libvexor.so from the shared install"
  fi
}

check_prefix() { # prefix, kind
  step "the $2 install: files, program, CMake package and pkg-config consumers"
  check_install "$1" "$2"
  [ "$2" = static ] || check_shared_library "$1"
  consumer_by_package "$1" "$2"
  consumer_by_pkg_config "$1" "$2"
}

step "install this build"
ThisPrefix=$WORK/this
quiet install-this "$CMAKE" --install "$BUILD" --prefix "$ThisPrefix" ${CONFIG:+--config "$CONFIG"}
if [ -e "$ThisPrefix/$LIBDIR/libvexor.so" ]; then ThisKind=shared OtherKind=static Shared=OFF
else ThisKind=static OtherKind=shared Shared=ON; fi
check_prefix "$ThisPrefix" "$ThisKind"

if command -v groff >/dev/null 2>&1; then
  step "the installed manual page"
  Warnings=$(groff -man -ww -z "$ThisPrefix/$MANDIR/man1/vexor.1" 2>&1 || true)
  [ -z "$Warnings" ] || fail "groff: $Warnings"
fi

step "build and install vexor as a $OtherKind library"
OtherPrefix=$WORK/other
quiet configure-other "$CMAKE" -S "$SOURCE" -B "$WORK/build-other" -G "$GENERATOR" \
  -DCMAKE_CXX_COMPILER="$CXX" ${CONFIG:+-DCMAKE_BUILD_TYPE="$CONFIG"} -DBUILD_SHARED_LIBS=$Shared \
  -DVEXOR_BUILD_TESTS=OFF -DVEXOR_SANITIZE="$SANITIZE" \
  -DCMAKE_INSTALL_BINDIR="$BINDIR" -DCMAKE_INSTALL_LIBDIR="$LIBDIR" \
  -DCMAKE_INSTALL_INCLUDEDIR="$INCLUDEDIR" -DCMAKE_INSTALL_MANDIR="$MANDIR"
quiet build-other "$CMAKE" --build "$WORK/build-other" ${CONFIG:+--config "$CONFIG"} --parallel "$JOBS"
quiet install-other "$CMAKE" --install "$WORK/build-other" --prefix "$OtherPrefix" ${CONFIG:+--config "$CONFIG"}
check_prefix "$OtherPrefix" "$OtherKind"

step "tests/consumer as a parent project that adds vexor with add_subdirectory"
# Without sanitizers: the parent builds vexor's sources itself, with its own settings.
ParentFlags=(-G "$GENERATOR" -DCMAKE_CXX_COMPILER="$CXX" -DVEXOR_SOURCE_DIR="$SOURCE")
quiet configure-parent "$CMAKE" -S "$CONSUMER" -B "$WORK/parent" "${ParentFlags[@]}" -DCMAKE_BUILD_TYPE=Debug
grep -q '^CMAKE_BUILD_TYPE:STRING=Debug$' "$WORK/parent/CMakeCache.txt" || fail "the parent's build type changed"
quiet build-parent "$CMAKE" --build "$WORK/parent" --parallel "$JOBS"
check_links "$WORK/parent/consumer" static
"$WORK/parent/consumer" "$WORK"
# The parent's install holds only what the parent installs.
quiet install-parent "$CMAKE" --install "$WORK/parent" --prefix "$WORK/parent-prefix"
Installed=$(cd "$WORK/parent-prefix" && find . -type f | sort | tr '\n' ' ')
[ "$Installed" = "./bin/consumer " ] || fail "the parent's install holds vexor's files: $Installed"
# A parent with no build type at all keeps none: vexor's default is for its own builds only.
quiet configure-parent-untyped "$CMAKE" -S "$CONSUMER" -B "$WORK/parent-untyped" "${ParentFlags[@]}"
grep -q '^CMAKE_BUILD_TYPE:STRING=$' "$WORK/parent-untyped/CMakeCache.txt" ||
  fail "vexor gave the parent a build type: $(grep '^CMAKE_BUILD_TYPE' "$WORK/parent-untyped/CMakeCache.txt")"
echo "consumer: all ways ok"
