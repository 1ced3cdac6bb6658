#!/usr/bin/env bash
# Runs the libFuzzer harnesses one after another, each for SECONDS, starting
# from the seed corpora and growing a working corpus beside the binaries.
#   tests/fuzz/run_fuzz.sh BUILD_DIR SECONDS [harness ...]
# BUILD_DIR is a tree configured with -DCORVANE_BUILD_FUZZ=ON (clang).
# Exits non-zero on the first finding; the input is left as crash-* / oom-* /
# timeout-* in BUILD_DIR/fuzz-findings/<harness>/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
seconds="$2"
shift 2
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(header decode_stream decode_coeffs decompress roundtrip lanes destination decode_refined)

# Memory: libFuzzer fails an input on any single allocation above
# -malloc_limit_mb. Inputs are at most -max_len bytes, and no stream of that
# size can legitimately decode to anywhere near the limit, so a declared size
# that is trusted before the payload backs it shows up as an "oom" finding.
limits() {
  case "$1" in
    header) echo "-max_len=256 -malloc_limit_mb=16" ;;
    decode_stream) echo "-max_len=2048 -malloc_limit_mb=32" ;;
    decode_coeffs) echo "-max_len=2048 -malloc_limit_mb=32" ;;
    decompress) echo "-max_len=2048 -malloc_limit_mb=64" ;;
    roundtrip) echo "-max_len=8192 -malloc_limit_mb=64" ;;
    lanes) echo "-max_len=4096 -malloc_limit_mb=64" ;;
    destination) echo "-max_len=2048 -malloc_limit_mb=64" ;;
    decode_refined) echo "-max_len=4096 -malloc_limit_mb=64" ;;
    *) echo "unknown harness $1" >&2; exit 2 ;;
  esac
}

for h in "${harnesses[@]}"; do
  bin="$build/tests/fuzz/fuzz_$h"
  corpus="$build/fuzz-corpus/$h"
  findings="$build/fuzz-findings/$h"
  mkdir -p "$corpus" "$findings"
  echo "== fuzz_$h for ${seconds}s"
  # shellcheck disable=SC2046
  "$bin" "$corpus" "$here/seeds/$h" $(limits "$h") \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1 2>"$build/fuzz-$h.log" || {
      tail -n 60 "$build/fuzz-$h.log"
      echo "fuzz_$h: finding, see $findings" >&2
      exit 1
    }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/fuzz-$h.log" | sed "s/^/  /"
done
