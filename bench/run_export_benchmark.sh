#!/usr/bin/env bash
# quillwave-export's benchmark, three tables:
#  1. CSV: lines per second of quillwave-export -j 1 against a printf-per-line
#     lossless writer (bench/printf_lossless.cpp: "%.17g,%.9g\n" and the like),
#     for each waveform type; on two processors (the job shares each file's
#     formatting with its writer thread) and pinned to one (taskset);
#  2. NPY and MAT, and sr and wav where built: MB/s of quillwave-export -f FORMAT -j 1
#     against the write ceiling (dd of the same number of bytes into the same
#     folder), for each type the format takes (sr refuses histograms);
#  3. a batch of 50 captures with -j 1 and -j 2.
#
#   bench/run_export_benchmark.sh [SAMPLES] [FOLDER]
# SAMPLES per waveform (default 20000000); FOLDER for captures and outputs
# (default build/bench-data; needs about 6 GB free at the default size).
# RUNS (environment, default 5): runs per measurement; the fastest counts
# (three times as many for the ceiling, which takes a fraction of a second).
# BATCH_SAMPLES (default 1000000): samples of each capture of the batch.
set -euo pipefail
cd "$(dirname "$0")/.."
samples=${1:-20000000}
folder=${2:-build/bench-data}
runs=${RUNS:-5}
batchSamples=${BATCH_SAMPLES:-1000000}
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (Debian package 'time')"; exit 1; }

cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 \
    --target quillwave-export printf_lossless make_bench_capture >/dev/null
bin=build/release
mkdir -p "$folder"

# Runs a command $runs times after a sync, removing what $1 names (a file or
# a folder of outputs) before each run, so the last run's output stays.
# Prints "seconds peak_rss_kib" of the fastest run.
measure() {
    local output=$1; shift
    local best="" rss=0
    for ((run = 0; run < runs; ++run)); do
        rm -rf "$output"
        sync
        local started=$EPOCHREALTIME
        /usr/bin/time -f "%M" -o "$folder/time.txt" "$@" >/dev/null
        local ended=$EPOCHREALTIME
        local seconds kib
        seconds=$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.6f", b - a }')
        read -r kib < "$folder/time.txt"
        if [[ -z "$best" ]] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
            best=$seconds
        fi
        (( kib > rss )) && rss=$kib
    done
    echo "$best $rss"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
per_second() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.1f", n / s / 1e6 }'; }
capture_of() {
    local capture="$folder/$1.bin"
    [[ -f "$capture" ]] || "$bin/bench/make_bench_capture" "$1" "$2" "$capture"
    cat "$capture" >/dev/null  # in the page cache for every contender
    echo "$capture"
}

echo "CSV, one job: quillwave-export against printf per line (\"%.17g,%.9g\\n\" and the like)"
printf '%-10s %6s %8s | %9s %9s %8s | %9s %9s | %6s | %9s %6s\n' \
    type Mlines MB "qx Ml/s" "qx MB/s" "qx RSS" "base Ml/s" "base RSS" ratio "1c Ml/s" "1c rat"
out="$folder/export-out"
for type in normal average peak histogram logic; do
    capture=$(capture_of "$type" "$samples")
    read -r q1s _ < <(measure "$out" taskset -c 0 "$bin/quillwave-export" -q -j 1 -o "$out" "$capture")
    read -r qs qrss < <(measure "$out" "$bin/quillwave-export" -q -j 1 -o "$out" "$capture")
    csv="$out/$type.w1.csv"
    bytes=$(stat -c %s "$csv")
    read -r bs brss < <(measure "$folder/base.csv" "$bin/bench/printf_lossless" "$capture" "$folder/base.csv")
    if [[ $(wc -l < "$csv") != $(wc -l < "$folder/base.csv") ]]; then
        echo "$type: quillwave-export and the baseline differ in lines"; exit 1
    fi
    rm -rf "$out" "$folder/base.csv"
    printf '%-10s %6.1f %8.0f | %9s %9.0f %6.1fM | %9s %7.1fM | %5sx | %9s %5sx\n' \
        "$type" "$(awk -v n="$samples" 'BEGIN{print n/1e6}')" "$(awk -v b="$bytes" 'BEGIN{print b/1e6}')" \
        "$(per_second "$samples" "$qs")" "$(awk -v b="$bytes" -v s="$qs" 'BEGIN{print b/s/1e6}')" \
        "$(awk -v k="$qrss" 'BEGIN{print k/1024}')" "$(per_second "$samples" "$bs")" \
        "$(awk -v k="$brss" 'BEGIN{print k/1024}')" "$(ratio "$bs" "$qs")" \
        "$(per_second "$samples" "$q1s")" "$(ratio "$bs" "$q1s")"
done

echo
echo "NPY, MAT, SR, WAV, one job: quillwave-export against the write ceiling (dd of the same size, same folder)"
printf '%-4s %-10s %8s | %9s %8s | %9s | %7s\n' format type MB "qx MB/s" "qx RSS" "ceil MB/s" "of ceil"
for format in npy mat sr wav; do
    # A format left out of the build says so in its usage error.
    if ! "$bin/quillwave-export" -f "$format" --info /dev/null >/dev/null 2>"$folder/format.txt" &&
        grep -q "not built" "$folder/format.txt"; then
        echo "$format: not built ($(cat "$folder/format.txt"))"
        continue
    fi
    for type in normal peak histogram logic; do
        [[ $format == sr && $type == histogram ]] && continue
        capture=$(capture_of "$type" "$samples")
        read -r qs qrss < <(measure "$out" "$bin/quillwave-export" -q -j 1 -f "$format" -o "$out" "$capture")
        bytes=$(stat -c %s "$out/$type.w1.$format")
        rm -rf "$out"
        read -r cs _ < <(runs=$((3 * runs)) measure "$folder/ceiling.bin" dd if=/dev/zero \
            of="$folder/ceiling.bin" bs=1M count=$(( (bytes + 1048575) / 1048576 )) status=none)
        rm -f "$folder/ceiling.bin"
        qmb=$(awk -v b="$bytes" -v s="$qs" 'BEGIN{printf "%.0f", b/s/1e6}')
        cmb=$(awk -v b="$bytes" -v s="$cs" 'BEGIN{printf "%.0f", b/s/1e6}')
        printf '%-4s %-10s %8.0f | %9s %6.1fM | %9s | %6.0f%%\n' "$format" "$type" \
            "$(awk -v b="$bytes" 'BEGIN{print b/1e6}')" "$qmb" "$(awk -v k="$qrss" 'BEGIN{print k/1024}')" \
            "$cmb" "$(awk -v q="$qmb" -v c="$cmb" 'BEGIN{print 100*q/c}')"
    done
done

echo
echo "A batch of 50 captures of $batchSamples samples (normal, peak, histogram, logic in turn), CSV"
batch="$folder/batch"
if [[ ! -f "$batch/c49.bin" ]]; then
    mkdir -p "$batch"
    types=(normal peak histogram logic)
    for i in $(seq 0 49); do
        "$bin/bench/make_bench_capture" "${types[$((i % 4))]}" "$batchSamples" "$batch/c$i.bin"
    done
fi
cat "$batch"/c*.bin >/dev/null
printf '%-6s | %8s %9s %10s %8s\n' jobs seconds "Mlines/s" "captures/s" RSS
for jobs in 1 2; do
    read -r s rss < <(measure "$folder/batch-out" "$bin/quillwave-export" -q -j "$jobs" \
        -o "$folder/batch-out" "$batch"/c*.bin)
    printf '%-6s | %8.2f %9s %10.1f %6.1fM\n' "$jobs" "$s" "$(per_second $((50 * batchSamples)) "$s")" \
        "$(awk -v s="$s" 'BEGIN{print 50/s}')" "$(awk -v k="$rss" 'BEGIN{print k/1024}')"
done
rm -rf "$folder/batch-out"
