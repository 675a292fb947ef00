#!/usr/bin/env bash
# Fuzzes the thumbnail pre-flight check, image stage and colour profiles with libFuzzer.
#   FUZZ_SECONDS   run time per target and format (default 20)
#   FUZZ_FORMATS   seed formats to run (default: all)
#   FUZZ_TARGETS   targets to run (default: all)
#   FUZZ_BUILD     build directory (default build-fuzz)
# Findings are copied to tests/thumbnail/regressions/, which a unit test replays.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD:-build-fuzz}
formats=${FUZZ_FORMATS:-"png jpeg gif bmp tga tiff psd ico pcx pnm webp heif jxl"}
targets=" ${FUZZ_TARGETS:-image_stage_fuzz jpeg_fast_fuzz webp_fuzz heif_fuzz png_fuzz gif_fuzz tiff_fuzz jxl_fuzz icc_fuzz unread_fuzz detect_fuzz format_fuzz path_fuzz mail_script_fuzz smtp_reply_fuzz settings_fuzz} "
regressions=tests/thumbnail/regressions
summary=()

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DQUARN_SANITIZE=fuzzer -DQUARN_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target fuzzers
bin=$build/fuzz

seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds"
# The HEIC encoder (x265) keeps some memory to the end; the seed maker is
# not under test.
ASAN_OPTIONS=detect_leaks=0 "$bin"/make_seeds "$seeds"
mkdir -p "$regressions"

# The library leaks on some failed loads; leaks are not findings here.
# Per input: 3 s, 512 MB resident, no single allocation of 256 MB or more
# (the targets decode within a memory budget of 192 MB, and the pre-flight
# check is watched for what it holds per byte of input: a small input that
# costs far more than it claims is a finding). ASan's quarantine is kept
# small so that it does not count against the resident limit. Inputs up to
# 64 KB. Runs in fork mode and keeps going after a finding, so that one run
# collects them all and uses its whole time.
limits=(-detect_leaks=0 -timeout=3 -rss_limit_mb=512 -malloc_limit_mb=256 -max_len=65536
        -use_value_profile=1 -fork=1 -ignore_crashes=1)
export ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=32:malloc_context_size=10

run() {  # target name corpus-dirs...
  local target=$1 name=$2
  shift 2
  [[ "$targets" == *" $target "* ]] || return 0
  local corpus=$build/corpus/$target-$name artifacts=$build/artifacts/$target-$name/
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  echo "== $target $name: ${seconds}s"
  local start=$SECONDS
  "$bin/$target" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$corpus" "$@" >"$build/$target-$name.log" 2>&1 || true
  # The fork mode's last status line: executions in all, coverage, findings.
  local status
  status=$(grep -E "^#[0-9]+: cov" "$build/$target-$name.log" | tail -1 || true)
  echo "   ${status:-no status line (see $build/$target-$name.log)}"
  local runs=${status%%:*}
  summary+=("$(printf '%-18s %-6s %12s %5ss' "$target" "$name" "${runs:-?}" "$seconds")")
  grep -E "^==[0-9]+==ERROR|^SUMMARY|detection differs" "$build/$target-$name.log" | sort | uniq -c |
    sed 's/^/   /' || true
  echo "   wall $((SECONDS - start))s"
  for a in "$artifacts"*; do
    [ -f "$a" ] || continue
    local kind; kind=$(basename "$a" | cut -d- -f1)
    local sum; sum=$(sha1sum "$a" | cut -c1-12)
    cp "$a" "$regressions/$target-$name-$kind-$sum.bin"
    echo "   finding: $regressions/$target-$name-$kind-$sum.bin"
  done
}

for fmt in $formats; do
  [ -d "$seeds/$fmt" ] || continue
  run image_stage_fuzz "$fmt" "$seeds/$fmt" "$seeds/hostile"
done
# The decoders outside the image library, behind the pre-flight check.
run jpeg_fast_fuzz jpeg "$seeds/jpeg"
run webp_fuzz webp "$seeds/webp" "$seeds/hostile"
run heif_fuzz heif "$seeds/heif" "$seeds/hostile"
run png_fuzz png "$seeds/png" "$seeds/hostile"
run gif_fuzz gif "$seeds/gif" "$seeds/hostile"
run tiff_fuzz tiff "$seeds/tiff"
run jxl_fuzz jxl "$seeds/jxl" "$seeds/hostile"
# Embedded colour profiles through lcms2.
run icc_fuzz icc "$seeds/icc"
# Without the check, over the formats it refuses unread: evidence only.
if [ -z "${FUZZ_FORMATS:-}" ] || [[ " $formats " == *" unread "* ]]; then
  run unread_fuzz unread "$seeds/unread"
fi
all_seeds=()
for d in "$seeds"/*/; do all_seeds+=("$d"); done
run detect_fuzz all "${all_seeds[@]}"
# The formatter, the path builder, the mail message, the reply parser and
# the settings publisher: properties checked inside each target.
for target in format_fuzz path_fuzz mail_script_fuzz smtp_reply_fuzz settings_fuzz; do
  run "$target" logic
done
rm -f /dev/shm/quarn-fuzz-*.jpg /dev/shm/quarn-fuzz-*.ini
echo
echo "executions per target (fork mode, one job each):"
printf '%-18s %-6s %12s %6s\n' target seeds executions time
for line in "${summary[@]}"; do echo "$line"; done
