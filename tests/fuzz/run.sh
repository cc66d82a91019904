#!/usr/bin/env bash
# Runs every fuzz target of a build for a bounded time and fails on any finding.
#   tests/fuzz/run.sh BUILD_DIR SECONDS
# Each target starts from its committed seed corpus; the inputs it finds go to a scratch
# corpus, so the committed one stays as it is. A finding leaves its input under
# BUILD_DIR/fuzz-findings/TARGET/; replay it with `BUILD_DIR/tests/fuzz/TARGET FILE`.
set -uo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd)
SECONDS_EACH=$2
HERE=$(cd "$(dirname "$0")" && pwd)
TARGETS="fuzz_encode_base64 fuzz_decode_base64 fuzz_encode_qp fuzz_decode_qp fuzz_encode_uue fuzz_decode_uue"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=""
for target in $TARGETS; do
  exe="$BUILD/tests/fuzz/$target"
  if [ ! -x "$exe" ]; then
    echo "== $target: not built ($exe)" >&2
    failed="$failed $target"
    continue
  fi
  work="$BUILD/fuzz-corpus/$target"
  findings="$BUILD/fuzz-findings/$target"
  rm -rf "$work" "$findings"
  mkdir -p "$work" "$findings"
  echo "== $target: ${SECONDS_EACH}s"
  # -timeout: an input that takes this long is a hang; -rss_limit_mb: unbounded memory is one too.
  if "$exe" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$HERE/corpus/$target" \
      >"$findings/log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$findings/log" | tr '\n' ' '
    echo
  else
    echo "!! $target: finding (log and input in $findings)" >&2
    grep -E 'FINDING|ERROR|SUMMARY|Test unit written' "$findings/log" | head -20 >&2
    failed="$failed $target"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzz findings in:$failed" >&2
  exit 1
fi
echo "fuzz: no findings"
