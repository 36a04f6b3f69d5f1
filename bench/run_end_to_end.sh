#!/usr/bin/env bash
# End-to-end benchmark: converts large captures with quillwave and with the
# printf-per-line baseline, and measures the machine's ceiling (writing the
# same number of bytes to a file in the same folder). Prints, per waveform
# type, MB/s and lines/s of each, the ratio to the baseline, the fraction of
# the ceiling and peak RSS; then the time to list a large sparse capture.
#
#   bench/run_end_to_end.sh [SAMPLES] [FOLDER]
# SAMPLES per waveform (default 20000000); FOLDER for captures and outputs
# (default build/bench-data; needs about 5 GB free at the default size).
# RUNS (environment, default 5): runs per measurement; the fastest counts
# (three times as many for the ceiling, which takes a fraction of a second).
set -euo pipefail
cd "$(dirname "$0")/.."
samples=${1:-20000000}
folder=${2:-build/bench-data}
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (Debian package 'time')"; exit 1; }

cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 --target quillwave printf_baseline make_bench_capture >/dev/null
bin=build/release
mkdir -p "$folder"

runs=${RUNS:-5}

# Runs a command $runs times after a sync (so earlier writes do not slow it),
# deleting the file named by $1 before each run (only a regular file, and
# "-" names none: a listing's output is not a file to delete). Prints the
# fastest "seconds peak_rss_kib". Every contender gets the same treatment.
measure() {
    local output=$1; shift
    local best="" rss=0
    for ((run = 0; run < runs; ++run)); do
        if [[ "$output" != - && -f "$output" ]]; then rm -f "$output"; fi
        sync
        # Wall time to the microsecond (time(1) rounds to 10 ms), peak RSS from time(1).
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

mb_per_s() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", (s > 0 ? b / s / 1e6 : 0) }'; }

printf '%-10s %6s %8s | %9s %9s %8s | %9s %9s | %6s | %9s %8s\n' \
    type Mlines MB "qw MB/s" "qw Ml/s" "qw RSS" "base MB/s" "base RSS" ratio "ceil MB/s" "of ceil"
for type in normal peak histogram logic; do
    capture="$folder/$type.bin"
    [[ -f "$capture" ]] || "$bin/bench/make_bench_capture" "$type" "$samples" "$capture"
    sync
    cat "$capture" >/dev/null  # in the page cache for every contender
    read -r qs qrss < <(measure "$folder/$type.qw.txt" "$bin/quillwave" "$capture" "$folder/$type.qw.txt")
    read -r bs brss < <(measure "$folder/$type.base.txt" "$bin/bench/printf_baseline" "$capture" "$folder/$type.base.txt")
    if ! cmp -s "$folder/$type.qw.txt" "$folder/$type.base.txt"; then
        echo "$type: quillwave and the baseline differ"; exit 1
    fi
    bytes=$(stat -c %s "$folder/$type.qw.txt")
    rm -f "$folder/$type.base.txt" "$folder/ceiling.bin"
    # The ceiling takes a fraction of a second: more runs make it a stricter one.
    read -r cs _ < <(runs=$((3 * runs)) measure "$folder/ceiling.bin" dd if=/dev/zero of="$folder/ceiling.bin" bs=1M \
        count=$(( (bytes + 1048575) / 1048576 )) status=none)
    rm -f "$folder/$type.qw.txt" "$folder/ceiling.bin"
    qmb=$(mb_per_s "$bytes" "$qs"); bmb=$(mb_per_s "$bytes" "$bs"); cmb=$(mb_per_s "$bytes" "$cs")
    printf '%-10s %6.1f %8.0f | %9s %9.1f %6.1fM | %9s %7.1fM | %5.1fx | %9s %7.0f%%\n' \
        "$type" "$(awk -v n="$samples" 'BEGIN{print n/1e6}')" "$(awk -v b="$bytes" 'BEGIN{print b/1e6}')" \
        "$qmb" "$(awk -v n="$samples" -v s="$qs" 'BEGIN{print n/s/1e6}')" \
        "$(awk -v k="$qrss" 'BEGIN{print k/1024}')" "$bmb" "$(awk -v k="$brss" 'BEGIN{print k/1024}')" \
        "$(awk -v a="$bs" -v b="$qs" 'BEGIN{print a/b}')" "$cmb" \
        "$(awk -v q="$qmb" -v c="$cmb" 'BEGIN{print 100*q/c}')"
done

sparse="$folder/sparse-2g.bin"
[[ -f "$sparse" ]] || "$bin/bench/make_bench_capture" sparse 2048 "$sparse"
read -r ls lrss < <(measure - "$bin/quillwave" "$sparse")
echo "listing a $(( $(stat -c %s "$sparse") / 1048576 )) MiB capture: $(awk -v s="$ls" 'BEGIN { printf "%.1f", s * 1000 }') ms, peak RSS $(( lrss / 1024 )) MiB"
