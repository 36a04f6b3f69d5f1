#!/usr/bin/env bash
# Converts the sample capture with quillwave and plots its six waveforms with
# gnuplot (Debian package gnuplot-nox) into docs/sample.png.
#   tools/plot_sample.sh [OUTPUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
picture=${1:-docs/sample.png}
command -v gnuplot >/dev/null || { echo "needs gnuplot (apt-get install gnuplot-nox)"; exit 1; }
cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 --target quillwave >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/release/quillwave examples/sample.bin "$work"/{normal,peak,average,horizontal,vertical,logic}.csv
# Logic lines hold their bytes in hexadecimal ("%x", or "%x%x" for two
# buffers, each byte unpadded); plot that text read as one hex number.
awk -F', ' 'function hex(t,   i, v) { v = 0
                for (i = 1; i <= length(t); ++i) v = v * 16 + index("0123456789abcdef", substr(t, i, 1)) - 1
                return v }
            { print $1 ", " hex($2) }' "$work/logic.csv" > "$work/logic-values.csv"
gnuplot <<GNUPLOT
set terminal pngcairo size 1200,800 font "sans,9" noenhanced
set output "$picture"
set datafile separator ","
set multiplot layout 3,2 title "examples/sample.bin, converted by quillwave"
set grid
set xlabel "time (s)"
set format x "%g"
set title "CH1, PB_NORMAL (%e, %f)"
plot "$work/normal.csv" using 1:2 with lines lw 1 notitle
set title "CH2, PB_PEAK_DETECT (%e, %f, %f)"
plot "$work/peak.csv" using 1:2 with lines title "upper", "" using 1:3 with lines title "lower"
set title "CH1, PB_AVERAGE of 16 (%e, %f)"
plot "$work/average.csv" using 1:2 with lines notitle
set title "CH1, PB_HORZ_HISTOGRAM (%e, %i)"
plot "$work/horizontal.csv" using 1:2 with boxes fill solid 0.5 notitle
set title "CH1, PB_VERT_HISTOGRAM (%e, %i)"
plot "$work/vertical.csv" using 1:2 with boxes fill solid 0.5 notitle
set title "D0-D15, PB_LOGIC, two buffers (%e, %x%x), text read as hexadecimal"
plot "$work/logic-values.csv" using 1:2 with steps notitle
unset multiplot
GNUPLOT
echo "wrote $picture"
