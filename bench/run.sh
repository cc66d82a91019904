#!/usr/bin/env bash
# Times vexor against the peers installed on this machine in all six directions (encode and
# decode for Base64, quoted-printable and UUencode), next to the I/O floor of each direction,
# checks that every vexor output decodes back to its input, and prints one table. The table is
# also written to bench/results.md and drawn as bench/results.png.
#
#   bash bench/run.sh [SIZE_MIB]        default 256
#
# Environment: RUNS (timed runs per tool, default 5), VEXOR_BENCH_BUILD (build directory,
# default build-bench), VEXOR_BENCH_RESULTS (where results.md and results.png go, default
# bench/), TMPDIR (where the inputs and outputs are written; they are removed at the end).
# Installs nothing: a peer that is not installed is named and skipped.
set -euo pipefail

SIZE_MIB=${1:-256}
RUNS=${RUNS:-5}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
BUILD=${VEXOR_BENCH_BUILD:-$ROOT/build-bench}
RESULTS=${VEXOR_BENCH_RESULTS:-$HERE}

die() {
  echo "bench: $*" >&2
  exit 1
}
note() { echo "bench: $*" >&2; }
have() { command -v "$1" >/dev/null 2>&1; }
q() { printf '%q' "$1"; }

[[ $SIZE_MIB =~ ^[0-9]+$ ]] && ((SIZE_MIB > 0)) || die "SIZE_MIB must be a whole number above 0"
[[ $RUNS =~ ^[0-9]+$ ]] && ((RUNS > 0)) || die "RUNS must be a whole number above 0"
have python3 || die "python3 is needed to make the inputs and the report"
have cmake || die "cmake is needed to build vexor"
have cc || die "a C compiler (cc) is needed for the floor program"
# The interpreter itself, not a version manager's shim that costs a shell at every start.
PY=$(python3 -c 'import sys; print(sys.executable)')
HARNESS=("$PY" "$HERE/harness.py")

LOAD_BEFORE=$(uptime)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vexor-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
ROWS=$WORK/rows.tsv
META=$WORK/meta.tsv
: >"$ROWS"
: >"$META"
meta() { printf '%s\t%s\n' "$1" "$2" >>"$META"; }

note "building vexor (Release) in $BUILD"
if ! { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVEXOR_BUILD_TESTS=OFF &&
  cmake --build "$BUILD" -j2 --target vexor; } >"$WORK/build.log" 2>&1; then
  cat "$WORK/build.log" >&2
  die "the build failed"
fi
VEXOR=$BUILD/vexor
cc -O2 -o "$WORK/floor" "$HERE/floor.c" || die "the floor program does not build"
# The component with a progress handler, over the static library that the build left.
LIB=$(find "$BUILD" -maxdepth 1 -name 'libvexor.a' | head -n 1)
[[ -n $LIB ]] || die "the build left no libvexor.a in $BUILD"
c++ -std=c++20 -O2 -I"$ROOT" -o "$WORK/progress_run" "$HERE/progress_run.cpp" "$LIB" -pthread ||
  die "the progress program does not build"
PROGRESS=$WORK/progress_run
# The program's conversion with the inner loops held at one kernel level.
c++ -std=c++20 -O2 -I"$ROOT" -o "$WORK/level_run" "$HERE/level_run.cpp" "$LIB" -pthread ||
  die "the kernel-level program does not build"
LEVEL_RUN=$WORK/level_run
LEVELS=()
for level in plain avx2 avx512; do
  "$LEVEL_RUN" "$level" /dev/null /dev/null E BASE64 2>/dev/null && LEVELS+=("$level")
done

BYTES=$((SIZE_MIB * 1024 * 1024))
RANDOM_IN=$WORK/random.bin
TEXT_IN=$WORK/text.txt
note "making the inputs: $SIZE_MIB MiB of random bytes, $SIZE_MIB MiB of CR LF text"
"${HARNESS[@]}" random "$BYTES" "$RANDOM_IN"
"${HARNESS[@]}" text "$BYTES" "$TEXT_IN"

if have hyperfine; then
  TIMER="hyperfine, each run into a new file"
else
  TIMER="a shell loop over date +%s.%N, each run into a new file"
fi
if /usr/bin/time -f %M -o /dev/null true >/dev/null 2>&1; then
  RSS_TOOL=time
else
  RSS_TOOL=python
fi

# Runs CMD once, recording its peak resident memory (KiB) in $WORK/rss; returns its exit code.
run_for_rss() {
  local cmd=$1
  if [[ $RSS_TOOL == time ]]; then
    /usr/bin/time -f %M -o "$WORK/rss" sh -c "$cmd" >/dev/null 2>"$WORK/err"
  else
    "$PY" -c '
import resource, subprocess, sys
code = subprocess.run(["sh", "-c", sys.argv[1]], stdout=subprocess.DEVNULL).returncode
open(sys.argv[2], "w").write("%d\n" % resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
sys.exit(code)' "$cmd" "$WORK/rss" 2>"$WORK/err"
  fi
}

# Prints the median wall time of RUNS runs of CMD, removing OUT before each run.
median_time() {
  local cmd=$1 out=$2
  if have hyperfine; then
    hyperfine --style none --runs "$RUNS" --prepare "rm -f $(q "$out")" \
      --export-json "$WORK/hf.json" "$cmd" >/dev/null 2>"$WORK/err" || return 1
    "${HARNESS[@]}" hyperfine-median "$WORK/hf.json"
  else
    local i t0 t1
    : >"$WORK/times"
    for ((i = 0; i < RUNS; i++)); do
      rm -f "$out"
      t0=$(date +%s.%N)
      sh -c "$cmd" >/dev/null 2>"$WORK/err" || return 1
      t1=$(date +%s.%N)
      echo "$t1 - $t0" | bc -l >>"$WORK/times" 2>/dev/null ||
        "$PY" -c "print($t1 - $t0)" >>"$WORK/times"
    done
    "${HARNESS[@]}" median "$WORK/times"
  fi
}

# measure DIRECTION KIND TOOL SOURCE OUT CMD: one row of the table. The first run (which also
# warms the page cache) gives the peak memory; then the timed runs. OUT stays as the last run
# wrote it. Returns non-zero, with a row that says why, when the command fails.
measure() {
  local direction=$1 kind=$2 tool=$3 source=$4 out=$5 cmd=$6 seconds rss status=ok
  rm -f "$out"
  if ! run_for_rss "$cmd"; then
    status="failed: $(head -c 200 "$WORK/err" | tr '\t\n' '  ')"
    printf '%s\t%s\t%s\t%s\t%s\t\t\t%s\n' "$direction" "$kind" "$tool" "$source" "$status" \
      "$BYTES" >>"$ROWS"
    note "$direction: $tool $status"
    return 1
  fi
  rss=$(tail -n 1 "$WORK/rss")
  if ! seconds=$(median_time "$cmd" "$out"); then
    status="failed in a timed run: $(head -c 200 "$WORK/err" | tr '\t\n' '  ')"
    printf '%s\t%s\t%s\t%s\t%s\t\t\t%s\n' "$direction" "$kind" "$tool" "$source" "$status" \
      "$BYTES" >>"$ROWS"
    note "$direction: $tool $status"
    return 1
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$direction" "$kind" "$tool" "$source" "$status" \
    "$seconds" "$rss" "$BYTES" >>"$ROWS"
  note "$direction: $tool $seconds s, peak $((rss / 1024)) MiB"
}

# A peer row, then a check of what it decoded: a peer whose result differs from the input is
# kept in the table, marked, and left out of "fastest peer".
peer_decode() {
  local direction=$1 tool=$2 text=$3 out=$4 cmd=$5 plain=$6
  if [[ ! -s $text ]]; then
    printf '%s\tpeer\t%s\t\tno text of its own to decode\t\t\t%s\n' "$direction" "$tool" \
      "$BYTES" >>"$ROWS"
    return 0
  fi
  measure "$direction" peer "$tool" "its own text" "$out" "$cmd" || return 0
  if cmp -s "$out" "$plain"; then
    return 0
  elif "${HARNESS[@]}" same-text "$out" "$plain"; then
    # A text-mode decoder that ends its lines with LF has still decoded every byte.
    sed -i '$ s/\tits own text\t/\tits own text, writes LF line ends\t/' "$ROWS"
  else
    sed -i '$ s/\tok\t/\tdecoded bytes differ from the input\t/' "$ROWS"
    note "$direction: $tool decoded bytes differ from the input"
  fi
}

size_of() { stat -c %s "$1"; }

# vexor_roads OP METHOD SOURCE KIND EXPECTED: the other roads of one direction, each checked
# against EXPECTED (what the program wrote): a pipe as the program's source, and the component
# with a progress handler, first on the stream calls of the format, then with Streaming set.
vexor_roads() {
  local op=$1 method=$2 source=$3 kind=$4 expected=$5 out=$WORK/road.out road tool cmd
  local roads=(pipe observed streaming)
  have taskset && roads+=(one)
  for level in "${LEVELS[@]}"; do roads+=("level-$level"); done
  for road in "${roads[@]}"; do
    case $road in
    one)
      tool="vexor, one processor"
      cmd="taskset -c 0 $(q "$VEXOR") $(q "$source") $(q "$out") $op $method"
      ;;
    level-*)
      tool="vexor, ${road#level-} kernels"
      cmd="$(q "$LEVEL_RUN") ${road#level-} $(q "$source") $(q "$out") $op $method"
      ;;
    pipe)
      tool="vexor, the source a pipe"
      cmd="cat $(q "$source") | $(q "$VEXOR") /dev/stdin $(q "$out") $op $method"
      ;;
    observed)
      tool="component, handler"
      cmd="$(q "$PROGRESS") $(q "$source") $(q "$out") $op $method"
      ;;
    streaming)
      tool="component, handler, Streaming"
      cmd="$(q "$PROGRESS") $(q "$source") $(q "$out") $op $method streaming"
      ;;
    esac
    measure "$op $method" vexor "$tool" "$kind" "$out" "$cmd" || die "$tool $op $method failed"
    cmp "$out" "$expected" >&2 || die "$tool $op $method: the bytes differ from the program's"
    rm -f "$out"
  done
}

# vexor_pair METHOD PLAIN: encode and decode with vexor, each checked by a round trip through
# vexor itself, with the floor of each direction and vexor's other roads.
vexor_pair() {
  local method=$1 plain=$2 kind=$3 text=$WORK/$1.vexor back=$WORK/$1.vexor.back
  measure "E $method" vexor "vexor E $method" "$kind" "$text" \
    "$(q "$VEXOR") $(q "$plain") $(q "$text") E $method" || die "vexor E $method failed"
  rm -f "$WORK/check"
  "$VEXOR" "$text" "$WORK/check" D "$method" >/dev/null || die "vexor D $method failed"
  cmp "$WORK/check" "$plain" >&2 ||
    die "vexor E $method: the text does not decode back to its input"
  rm -f "$WORK/check"
  vexor_roads E "$method" "$plain" "$kind" "$text"
  measure "E $method" floor "floor: read + write" "$kind" "$WORK/floor.out" \
    "$(q "$WORK/floor") $(q "$plain") $(q "$WORK/floor.out") $(size_of "$text")" ||
    die "the floor program failed"

  measure "D $method" vexor "vexor D $method" "its own text" "$back" \
    "$(q "$VEXOR") $(q "$text") $(q "$back") D $method" || die "vexor D $method failed"
  cmp "$back" "$plain" >&2 || die "vexor D $method: the decoded bytes differ from the input"
  rm -f "$back"
  vexor_roads D "$method" "$text" "its own text" "$plain"
  measure "D $method" floor "floor: read + write" "vexor's text" "$WORK/floor.out" \
    "$(q "$WORK/floor") $(q "$text") $(q "$WORK/floor.out") $(size_of "$plain")" ||
    die "the floor program failed"
  rm -f "$WORK/floor.out"
}

absent() {
  meta absent "$1"
  note "not installed, skipped: $1"
}

HAVE_PERL_B64=no
HAVE_PERL_QP=no
if have perl; then
  perl -MMIME::Base64 -e 1 2>/dev/null && HAVE_PERL_B64=yes
  perl -MMIME::QuotedPrint -e 1 2>/dev/null && HAVE_PERL_QP=yes
fi
R=$(q "$RANDOM_IN")
T=$(q "$TEXT_IN")
PYQ=$(q "$PY")

# --- Base64
vexor_pair BASE64 "$RANDOM_IN" "random bytes"
if have base64; then
  E=$WORK/b64.coreutils
  measure "E BASE64" peer "coreutils base64 -w 76" "random bytes" "$E" \
    "base64 -w 76 $R > $(q "$E")" || true
  peer_decode "D BASE64" "coreutils base64 -d" "$E" "$WORK/out" \
    "base64 -d $(q "$E") > $(q "$WORK/out")" "$RANDOM_IN"
else absent "coreutils base64 (package coreutils)"; fi
if have openssl; then
  E=$WORK/b64.openssl
  measure "E BASE64" peer "openssl base64 -e" "random bytes" "$E" \
    "openssl base64 -e -in $R -out $(q "$E")" || true
  peer_decode "D BASE64" "openssl base64 -d" "$E" "$WORK/out" \
    "openssl base64 -d -in $(q "$E") -out $(q "$WORK/out")" "$RANDOM_IN"
else absent "openssl base64 (package openssl)"; fi
E=$WORK/b64.python
measure "E BASE64" peer "python3 -m base64 -e" "random bytes" "$E" \
  "$PYQ -m base64 -e $R > $(q "$E")" || true
peer_decode "D BASE64" "python3 -m base64 -d" "$E" "$WORK/out" \
  "$PYQ -m base64 -d $(q "$E") > $(q "$WORK/out")" "$RANDOM_IN"
E=$WORK/b64.binascii
measure "E BASE64" peer "python3 binascii (one line)" "random bytes" "$E" \
  "$PYQ -c 'import sys, binascii; sys.stdout.buffer.write(binascii.b2a_base64(open(sys.argv[1], \"rb\").read()))' $R > $(q "$E")" || true
peer_decode "D BASE64" "python3 binascii" "$E" "$WORK/out" \
  "$PYQ -c 'import sys, binascii; sys.stdout.buffer.write(binascii.a2b_base64(open(sys.argv[1], \"rb\").read()))' $(q "$E") > $(q "$WORK/out")" "$RANDOM_IN"
if [[ $HAVE_PERL_B64 == yes ]]; then
  E=$WORK/b64.perl
  measure "E BASE64" peer "perl MIME::Base64" "random bytes" "$E" \
    "perl -MMIME::Base64 -0777 -ne 'print encode_base64(\$_)' $R > $(q "$E")" || true
  peer_decode "D BASE64" "perl MIME::Base64" "$E" "$WORK/out" \
    "perl -MMIME::Base64 -0777 -ne 'print decode_base64(\$_)' $(q "$E") > $(q "$WORK/out")" \
    "$RANDOM_IN"
else absent "perl MIME::Base64 (package perl)"; fi
rm -f "$WORK"/b64.* "$WORK/out" "$WORK/BASE64.vexor"

# --- quoted-printable
vexor_pair QP "$TEXT_IN" "CR LF text"
if have qprint; then
  E=$WORK/qp.qprint
  measure "E QP" peer "qprint -e" "CR LF text" "$E" "qprint -e $T $(q "$E")" || true
  peer_decode "D QP" "qprint -d" "$E" "$WORK/out" "qprint -d $(q "$E") $(q "$WORK/out")" \
    "$TEXT_IN"
else absent "qprint (package qprint)"; fi
E=$WORK/qp.python
measure "E QP" peer "python3 -m quopri" "CR LF text" "$E" "$PYQ -m quopri $T > $(q "$E")" ||
  true
peer_decode "D QP" "python3 -m quopri -d" "$E" "$WORK/out" \
  "$PYQ -m quopri -d $(q "$E") > $(q "$WORK/out")" "$TEXT_IN"
if [[ $HAVE_PERL_QP == yes ]]; then
  E=$WORK/qp.perl
  measure "E QP" peer "perl MIME::QuotedPrint" "CR LF text" "$E" \
    "perl -MMIME::QuotedPrint -0777 -ne 'print encode_qp(\$_)' $T > $(q "$E")" || true
  peer_decode "D QP" "perl MIME::QuotedPrint" "$E" "$WORK/out" \
    "perl -MMIME::QuotedPrint -0777 -ne 'print decode_qp(\$_)' $(q "$E") > $(q "$WORK/out")" \
    "$TEXT_IN"
else absent "perl MIME::QuotedPrint (package perl)"; fi
rm -f "$WORK"/qp.* "$WORK/out" "$WORK/QP.vexor"

# --- UUencode
vexor_pair UUE "$RANDOM_IN" "random bytes"
if have uuencode && have uudecode; then
  E=$WORK/uue.sharutils
  measure "E UUE" peer "sharutils uuencode" "random bytes" "$E" \
    "uuencode $R random.bin > $(q "$E")" || true
  peer_decode "D UUE" "sharutils uudecode" "$E" "$WORK/out" \
    "uudecode -o $(q "$WORK/out") $(q "$E")" "$RANDOM_IN"
else absent "sharutils uuencode / uudecode (package sharutils)"; fi
rm -f "$WORK"/uue.* "$WORK/out" "$WORK/UUE.vexor"

# --- Small files: one run on a file of 1 KiB and of 4 KiB, and 1,000 files of 1 to 64 KiB
# converted one run each, against the peers that encode the same way. Every figure is a shell
# loop of many runs, timed whole and divided by the runs it holds, so that every tool pays the
# same fork and exec around each run: the median of 5 timed loops.
small() { # small LABEL TOOL PER_LOOP CMD: CMD is a loop of PER_LOOP runs
  local label=$1 tool=$2 per=$3 cmd=$4 seconds
  seconds=$(RUNS=5 median_time "$cmd" "$WORK/small-none") || { note "small files: $tool failed"; return 0; }
  seconds=$("$PY" -c "print('%.6f' % ($seconds / $per))")
  meta small "$label"$'\t'"$tool"$'\t'"$seconds"
  note "small files, $label: $tool $seconds s a run"
}
SMALL=$WORK/small
mkdir -p "$SMALL/many"
"$PY" - "$SMALL" <<'PYEOF'
import os, random, sys
d = sys.argv[1]
rng = random.Random(7)
for n in (1024, 4096):
    open(os.path.join(d, "f%d" % n), "wb").write(rng.randbytes(n))
for i in range(1000):
    open(os.path.join(d, "many", "%04d" % i), "wb").write(rng.randbytes(rng.randint(1024, 65536)))
PYEOF
O=$(q "$SMALL/out")
V=$(q "$VEXOR")
small_row() { # small_row LABEL PER_LOOP LOOP_HEAD: the six rows of one set of files
  local label=$1 per=$2 head=$3
  small "$label" "vexor E BASE64" "$per" "$head $V \$f $O E BASE64 >/dev/null; done"
  have base64 && small "$label" "coreutils base64 -w 76" "$per" "$head base64 -w 76 \$f > $O; done"
  small "$label" "vexor E QP" "$per" "$head $V \$f $O E QP >/dev/null; done"
  have qprint && small "$label" "qprint -e" "$per" "$head qprint -e \$f $O; done"
  small "$label" "vexor E UUE" "$per" "$head $V \$f $O E UUE >/dev/null; done"
  have uuencode && small "$label" "sharutils uuencode" "$per" "$head uuencode \$f f > $O; done"
}
for n in 1024 4096; do
  small_row "one file of $((n / 1024)) KiB" 200 "f=$(q "$SMALL/f$n"); for i in \$(seq 200); do"
done
small_row "1,000 files of 1 to 64 KiB" 1 "for f in $(q "$SMALL/many")/*; do"

meta size_mib "$SIZE_MIB"
meta runs "$RUNS"
meta timer "$TIMER"
meta date "$(date -u '+%Y-%m-%d %H:%M UTC')"
meta commit "$(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo unknown)"
meta cpu "$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ *//')"
meta cores "$(nproc 2>/dev/null || echo '?')"
meta load_before "$(sed 's/.*load average: //' <<<"$LOAD_BEFORE")"
meta load_after "$(uptime | sed 's/.*load average: //')"

echo
echo "vexor bench: $SIZE_MIB MiB, median of $RUNS runs ($TIMER)"
echo "load before: $LOAD_BEFORE"
echo "load after:  $(uptime)"
echo
mkdir -p "$RESULTS"
"${HARNESS[@]}" report "$ROWS" "$META" "$RESULTS"
echo
echo "written: $RESULTS/results.md, $RESULTS/results.png"
