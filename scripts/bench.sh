#!/usr/bin/env bash
# Runs the benchmarks against the built plug-ins and prints their tables.
# Usage: scripts/bench.sh [BUILD_DIR]   (make bench runs it after deps and build)
#
# Each benchmark starts what it needs (a throwaway mariadbd on a Unix socket,
# a loopback SMTP sink) and stops it again. Results: BUILD_DIR/bench/*.json,
# the printed tables also in BUILD_DIR/bench/*.txt.
#
# More or fewer repetitions (defaults in brackets):
#   QUARN_BENCH_RUNS [5]               runs for settings
#   QUARN_BENCH_ITER_PNG/MEDIUM/LARGE/HUGE [11/15/9/7]  thumbnail calls per image, each
#                                      beside one of its floor (LARGE also for the
#                                      4000x3000 WebP, HEIC, AVIF)
#   QUARN_BENCH_CONC_ROWS [24], QUARN_BENCH_CONC_RUNS [3]  thumbnail concurrency
#   QUARN_BENCH_CONC_ROWS_HEIC [8]     rows per connection for the 4000x3000 HEIC
#   QUARN_BENCH_CONC_ROWS_FORMATS [12] rows per connection for the PNG, TIFF and GIF
#   QUARN_BENCH_ITER_GIF [11]          GIF calls, each beside one of its floor
#   QUARN_BENCH_MAILS [2000], QUARN_BENCH_MAIL_RUNS [3]    messages per level
#   QUARN_BENCH_SLOW_MAILS [200]       messages per level against the 5 ms sinks
#   QUARN_BENCH_TLS_MAILS [half of QUARN_BENCH_MAILS]  messages per level over STARTTLS
#   QUARN_BENCH_PEAK_RUNS [3]          fresh processes per attachment size for one call's peak memory
#   QUARN_BENCH_RTT_RUNS [3]           50-row statements per RTT against the delaying proxy
#   QUARN_BENCH_IDLE_RUNS [3]          20-row statements against the server that closes idle sessions
#   QUARN_BENCH_HUNG_ROWS [50]         rows of the statement against the server that never answers
#   QUARN_BENCH_SETTINGS_MS [400]      length of one settings run
#   QUARN_BENCH_RELOAD_MS [3000]       length of each reload latency run
#   QUARN_BENCH_MEMORY_THUMBNAILS [10000], QUARN_BENCH_MEMORY_MAILS [10000]
#   QUARN_BENCH_MEMORY_HEIC_ROWS [4]   rows per connection (8) under each memory budget
#   QUARN_BENCH_BESIDE_SECONDS [30]    small thumbnails alone, then beside 6 connections of big HEICs
#   QUARN_BENCH_BURST_ROUNDS [3]       rounds of the four 8000x6000 images per connection (8) in the burst
#   QUARN_BENCH_ITER_HOSTILE [5]       calls of each hostile file and its honest image
#   QUARN_BENCH_PROFILE=1              perf and strace profiles of the mail
#                                      call even when the mail target is met
#   QUARN_BENCH_ITER_GRID [9]          calls of the 4032x3024 grid HEIC per thumbnail-threads
#   QUARN_BENCH_CONC_ROWS_GRID [4]     rows per connection for the grid HEIC
#   QUARN_BENCH_ONLY="thumbnail mail"  a subset of: settings thumbnail grid mail memory
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd) || { echo "bench: no build directory ${1:-$top/build}" >&2; exit 2; }
bin="$build/bench"
out="$build/bench"
images="$out/images"
mkdir -p "$images"

export QUARN_BENCH_ITER_PNG=${QUARN_BENCH_ITER_PNG:-11}
export QUARN_BENCH_ITER_MEDIUM=${QUARN_BENCH_ITER_MEDIUM:-15}
export QUARN_BENCH_ITER_LARGE=${QUARN_BENCH_ITER_LARGE:-9}
export QUARN_BENCH_ITER_HUGE=${QUARN_BENCH_ITER_HUGE:-7}
only=" ${QUARN_BENCH_ONLY:-settings thumbnail grid mail memory} "

failed=()
timings=()
start_all=$(date +%s)

header() { printf '\n==== %s ====\n' "$*"; }
selected() { [[ "$only" == *" $1 "* ]]; }

# run NAME PROGRAM ARGS...: runs one benchmark, keeps its output.
run() {
  local name=$1
  shift
  if [[ ! -x "$1" ]]; then
    echo "bench: $1 is not built (is its plug-in missing?); skipping $name" | tee "$out/$name.txt"
    failed+=("$name(not built)")
    return
  fi
  header "$name"
  local t0
  t0=$(date +%s)
  "$@" 2>&1 | tee "$out/$name.txt"
  local status=${PIPESTATUS[0]}
  timings+=("\"$name\": $(( $(date +%s) - t0 ))")
  [[ $status -eq 0 ]] || failed+=("$name")
}

header "setup"
echo "build: $build   cores: $(nproc)   load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "commit: $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)"
# image FILE ARGS...: makes the image, unless one newer than make_image is there
# (the 8000x6000 HEIC and AVIF take a minute to encode).
image() {
  local file=$1
  shift
  [[ "$images/$file" -nt "$bin/make_image" ]] || "$bin/make_image" "$@" || return 1
}
echo "generating the images..."
image small.png 640 480 "$images/small.png" &&
  image medium.png 1600 1200 "$images/medium.png" &&
  image medium.jpg 1600 1200 "$images/medium.jpg" &&
  image large.jpg 4000 3000 "$images/large.jpg" &&
  image large-adobe.jpg --adobe-rgb "$images/large.jpg" "$images/large-adobe.jpg" &&
  image huge.jpg 6000 4000 "$images/huge.jpg" &&
  image 8k.jpg 8000 6000 "$images/8k.jpg" &&
  image large.webp 4000 3000 "$images/large.webp" &&
  image 8k.webp 8000 6000 "$images/8k.webp" &&
  image large.heic 4000 3000 "$images/large.heic" &&
  image large-preview.heic --preview 512 4000 3000 "$images/large-preview.heic" &&
  image 8k.heic 8000 6000 "$images/8k.heic" &&
  image 8k-preview.heic --preview 512 8000 6000 "$images/8k-preview.heic" &&
  image grid.heic --grid 512 320 4032 3024 "$images/grid.heic" &&
  image large.avif 4000 3000 "$images/large.avif" &&
  image 8k.avif 8000 6000 "$images/8k.avif" &&
  image medium.jxl 1600 1200 "$images/medium.jxl" &&
  image large.jxl 4000 3000 "$images/large.jxl" &&
  image 8k.jxl 8000 6000 "$images/8k.jxl" &&
  image medium.tif 1600 1200 "$images/medium.tif" &&
  image huge.png 8000 6000 "$images/huge.png" &&
  image huge.tif 8000 6000 "$images/huge.tif" &&
  image still.gif 1000 750 "$images/still.gif" &&
  image 8k.gif 8000 6000 "$images/8k.gif" &&
  image animated.gif 1000 750 "$images/animated.gif" 120 || { echo "bench: cannot generate images" >&2; exit 1; }
for f in small.png medium.png medium.jpg large.jpg large-adobe.jpg huge.jpg 8k.jpg medium.tif huge.png huge.tif still.gif 8k.gif animated.gif; do
  printf '  %-18s %s, %s bytes\n' "$f" "$("$bin/make_image" --size "$images/$f")" "$(stat -c %s "$images/$f")"
done
printf '  %-18s 1600x1200, %s bytes\n' medium.jxl "$(stat -c %s "$images/medium.jxl")"
for f in large.webp large.heic large-preview.heic large.avif large.jxl; do  # DevIL does not read these
  printf '  %-18s 4000x3000, %s bytes\n' "$f" "$(stat -c %s "$images/$f")"
done
printf '  %-18s 4032x3024, 512x512 tiles, 320x240 preview, %s bytes\n' grid.heic "$(stat -c %s "$images/grid.heic")"
for f in 8k.webp 8k.heic 8k-preview.heic 8k.avif 8k.jxl; do
  printf '  %-18s 8000x6000, %s bytes\n' "$f" "$(stat -c %s "$images/$f")"
done

selected settings && run settings "$bin/bench_settings" "$out/settings.json" \
  "$images/huge.jpg" "$images/large.heic"
selected thumbnail && run thumbnail "$bin/bench_thumbnail" "$out/thumbnail.json" "$images"
selected grid && run grid "$bin/bench_thumbnail" --grid "$out/grid.json" "$images"
if selected mail; then
  run mail "$bin/bench_mail" "$out/mail.json"
  # Where a call's time goes, beyond the phase profile that bench_mail
  # prints: sampled with perf (software clock, works in VMs) and as system
  # calls with strace, when the target is missed or when asked for.
  if [[ -x "$bin/bench_mail" ]] &&
     { grep -q '"target_met": false' "$out/mail.json" 2>/dev/null || [[ "${QUARN_BENCH_PROFILE:-}" == 1 ]]; }; then
    profiled=""
    if command -v perf >/dev/null && perf stat -e task-clock true >/dev/null 2>&1; then
      header "mail profile: perf record -e cpu-clock, 2000 in-process calls (sink thread included)"
      perf record -q -e cpu-clock -g -o "$out/mail.perf" "$bin/bench_mail" --profile-only 2000 >/dev/null 2>&1
      {
        echo "share of samples by object:"
        perf report -i "$out/mail.perf" --stdio --no-children --sort dso 2>/dev/null | grep -E '^ +[0-9.]+%' | head -n 8
        echo "user-space functions with what they call (children), top 20:"
        perf report -i "$out/mail.perf" --stdio --children --sort sym 2>/dev/null |
          grep -E '^ +[0-9].*\[\.\] [A-Za-z_]' | head -n 20 | cut -c1-150
      } | tee "$out/mail_profile.txt"
      profiled=1
    fi
    if command -v strace >/dev/null; then
      header "mail profile: strace -c -f, 300 in-process calls (sink thread included)"
      strace -f -c -o "$out/mail_strace.txt" "$bin/bench_mail" --profile-only 300 >/dev/null 2>&1
      head -n 20 "$out/mail_strace.txt" | tee -a "$out/mail_profile.txt"
      profiled=1
    fi
    [[ -n "$profiled" ]] || echo "neither perf nor strace is usable here; the phase profile above is the profile"
  fi
fi
selected memory && run memory "$bin/bench_memory" "$out/memory.json" "$images/small.png" "$images/large.heic" "$images"

total=$(( $(date +%s) - start_all ))
{
  printf '{"commit": "%s", "cores": %s, "load_average_at_end": [%s], "seconds": {%s, "total": %s}, "failed": [%s]}\n' \
    "$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)" "$(nproc)" \
    "$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' ',')" \
    "$(IFS=,; echo "${timings[*]:-\"none\": 0}")" "$total" \
    "$( ((${#failed[@]})) && printf '"%s",' "${failed[@]}" | sed 's/,$//')"
} > "$out/summary.json"

header "done in ${total} s"
echo "summaries: $out/{settings,thumbnail,grid,mail,memory,summary}.json"
echo "load average now: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores (figures from a busy machine are noisy)"
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "bench: failed: ${failed[*]}" >&2
  exit 1
fi
