#!/usr/bin/env bash
# End-to-end benchmark: converts large captures with quillwave and with the
# printf-per-line baseline, and measures the machine's ceiling (writing the
# same number of bytes to a file in the same folder with dd). Prints, per
# waveform type, quillwave's MB/s on two cores and pinned to one (taskset),
# each with the vector formatter and with the scalar one (QUILLWAVE_SCALAR=1),
# the baseline, the ratio, the fraction of the ceiling and the peak RSS;
# then a sweep of time magnitudes (normal waveforms whose times lie near
# 1e-20 .. 1e12) against the typical time base; then 1000 waveforms of just
# over one chunk each; then the time to list a large sparse capture.
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
# deleting the file named by $1 before each run (a regular file, or the
# files of a folder; "-" names none: a listing's output is not a file to
# delete). Prints the
# fastest "seconds peak_rss_kib". Every contender gets the same treatment.
measure() {
    local output=$1; shift
    local best="" rss=0
    for ((run = 0; run < runs; ++run)); do
        if [[ "$output" != - && -f "$output" ]]; then rm -f "$output"; fi
        if [[ "$output" != - && -d "$output" ]]; then find "$output" -type f -delete; fi
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

# quillwave on $1 into $2 with the cores ($3: 1 or 2) and formatter ($4:
# vector or scalar) given; prints "MB/s peak_rss_kib" and leaves the output.
run_quillwave() {
    local capture=$1 output=$2 cores=$3 path=$4
    local pin=() scalar=()
    [[ $cores == 1 ]] && pin=(taskset -c 0)
    [[ $path == scalar ]] && scalar=(env QUILLWAVE_SCALAR=1)
    local seconds rss
    read -r seconds rss < <(measure "$output" "${pin[@]}" "${scalar[@]}" "$bin/quillwave" "$capture" "$output")
    echo "$(mb_per_s "$(stat -c %s "$output")" "$seconds") $rss"
}

printf '%-10s %6s %6s | %8s %8s %8s %8s %7s | %9s | %6s | %9s %7s\n' type Mlines MB \
    "2c vec" "1c vec" "2c scal" "1c scal" "qw RSS" "base MB/s" ratio "ceil MB/s" "of ceil"
for type in normal peak histogram logic; do
    capture="$folder/$type.bin"
    [[ -f "$capture" ]] || "$bin/bench/make_bench_capture" "$type" "$samples" "$capture"
    sync
    cat "$capture" >/dev/null  # in the page cache for every contender
    out="$folder/$type.qw.txt"
    rss=0
    declare -A speed=()
    for cores in 2 1; do
        for path in vector scalar; do
            read -r mbs kib < <(run_quillwave "$capture" "$out" "$cores" "$path")
            speed[$cores$path]=$mbs
            (( kib > rss )) && rss=$kib
        done
    done
    read -r bs _ < <(measure "$folder/$type.base.txt" "$bin/bench/printf_baseline" "$capture" "$folder/$type.base.txt")
    if ! cmp -s "$out" "$folder/$type.base.txt"; then
        echo "$type: quillwave and the baseline differ"; exit 1
    fi
    bytes=$(stat -c %s "$out")
    rm -f "$folder/$type.base.txt" "$folder/ceiling.bin"
    # The ceiling takes a fraction of a second: more runs make it a stricter one.
    read -r cs _ < <(runs=$((3 * runs)) measure "$folder/ceiling.bin" dd if=/dev/zero of="$folder/ceiling.bin" bs=1M \
        count=$(( (bytes + 1048575) / 1048576 )) status=none)
    rm -f "$out" "$folder/ceiling.bin"
    bmb=$(mb_per_s "$bytes" "$bs"); cmb=$(mb_per_s "$bytes" "$cs")
    printf '%-10s %6.1f %6.0f | %8s %8s %8s %8s %6.1fM | %9s | %5.1fx | %9s %6.0f%%\n' \
        "$type" "$(awk -v n="$samples" 'BEGIN{print n/1e6}')" "$(awk -v b="$bytes" 'BEGIN{print b/1e6}')" \
        "${speed[2vector]}" "${speed[1vector]}" "${speed[2scalar]}" "${speed[1scalar]}" \
        "$(awk -v k="$rss" 'BEGIN{print k/1024}')" "$bmb" \
        "$(awk -v a="${speed[2vector]}" -v b="$bmb" 'BEGIN{print a/b}')" "$cmb" \
        "$(awk -v q="${speed[2vector]}" -v c="$cmb" 'BEGIN{print 100*q/c}')"
done

# Times of every magnitude: origin M and step M / 10^7, so that the times
# stay near M and distinct, each against the typical time base (-1e-2 s in
# 1 ns steps) at the same size, on the same path.
sweep_samples=$((samples / 4))
sweep_capture() {
    local capture="$folder/sweep-$1.bin"
    if [[ ! -f "$capture" ]]; then
        if [[ $1 == typical ]]; then
            "$bin/bench/make_bench_capture" normal "$sweep_samples" "$capture"
        else
            "$bin/bench/make_bench_capture" normal "$sweep_samples" "$capture" \
                "$1" "$(awk -v m="$1" 'BEGIN { printf "%.17g", m / 1e7 }')"
        fi
    fi
    echo "$capture"
}
out="$folder/sweep.qw.txt"
read -r typicalVector _ < <(run_quillwave "$(sweep_capture typical)" "$out" 2 vector)
read -r typicalScalar _ < <(run_quillwave "$(sweep_capture typical)" "$out" 2 scalar)
echo
echo "time magnitude sweep (normal, $sweep_samples samples, 2 cores; typical: vector ${typicalVector} MB/s, scalar ${typicalScalar} MB/s)"
printf '%-10s | %8s %8s | %8s %8s\n' magnitude "vector" "of typ" "scalar" "of typ"
for magnitude in 1e-20 1e-15 1e-10 1e-5 1 1e5 1e7 1.7e9 1e12; do
    capture=$(sweep_capture "$magnitude")
    read -r vec _ < <(run_quillwave "$capture" "$out" 2 vector)
    read -r scal _ < <(run_quillwave "$capture" "$out" 2 scalar)
    printf '%-10s | %8s %7.0f%% | %8s %7.0f%%\n' "$magnitude" "$vec" \
        "$(awk -v a="$vec" -v t="$typicalVector" 'BEGIN{print 100*a/t}')" "$scal" \
        "$(awk -v a="$scal" -v t="$typicalScalar" 'BEGIN{print 100*a/t}')"
done
rm -f "$out"

# Many waveforms of just over one chunk each: what starting each waveform's
# conversion costs (buffers, threads taking turns), two cores against one.
many="$folder/many-1000.bin"
[[ -f "$many" ]] || "$bin/bench/make_bench_capture" many 1000 "$many"
cat "$many" >/dev/null
manyOut="$folder/many-out"
mkdir -p "$manyOut"
names=()
for ((w = 1; w <= 1000; ++w)); do names+=("$manyOut/$w.txt"); done
read -r m2 m2rss < <(measure "$manyOut" "$bin/quillwave" "$many" "${names[@]}")
read -r m1 _ < <(measure "$manyOut" taskset -c 0 "$bin/quillwave" "$many" "${names[@]}")
rm -rf "$manyOut"
echo
echo "1000 waveforms of 32769 samples: 2 cores $(awk -v s="$m2" 'BEGIN { printf "%.0f", s * 1000 }') ms, 1 core $(awk -v s="$m1" 'BEGIN { printf "%.0f", s * 1000 }') ms, peak RSS $(( m2rss / 1024 )) MiB"

echo
sparse="$folder/sparse-2g.bin"
[[ -f "$sparse" ]] || "$bin/bench/make_bench_capture" sparse 2048 "$sparse"
read -r ls lrss < <(measure - "$bin/quillwave" "$sparse")
echo "listing a $(( $(stat -c %s "$sparse") / 1048576 )) MiB capture: $(awk -v s="$ls" 'BEGIN { printf "%.1f", s * 1000 }') ms, peak RSS $(( lrss / 1024 )) MiB"
