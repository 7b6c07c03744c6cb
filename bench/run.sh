#!/usr/bin/env bash
# Times quillmoss-squash side by side with a plain disk scan built on our own
# writer, ImageMagick's jpeg:extent and jpegoptim --size, in one run on this
# machine, and writes a Markdown table and a plot under bench/results/.
#
#   bash bench/run.sh BUILD_DIR
#
# Narrow it with BENCH_PICTURES="a.jpg b.jpg", BENCH_LIMITS="250 100" (KB of
# 1024 bytes), BENCH_SIZES="none 800x600", BENCH_RUNS (default 5) and
# BENCH_SCAN_RUNS (default 3; the scan takes tens of seconds per run).
set -euo pipefail
shopt -s extglob

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
CORPUS=${QUILLMOSS_CORPUS:-$ROOT/../shared/corpus}
RESULTS=$ROOT/bench/results
SQUASH=$BUILD/cli/quillmoss-squash
TOOL=$BUILD/bench/quillmoss-bench
PICTURES=(${BENCH_PICTURES:-Kleiber_by_Lukas_Baubkus.jpg issue70.jpg Picture_1A_by_freespace.jpg GreenMeadow.jpg})
LIMITS=(${BENCH_LIMITS:-250 100 50})
SIZES=(${BENCH_SIZES:-none 800x600})
RUNS=${BENCH_RUNS:-5}
SCAN_RUNS=${BENCH_SCAN_RUNS:-3}

# ImageMagick's own convert: another program of that name may come first on PATH.
CONVERT=
for c in /usr/bin/convert-im6.q16 /usr/bin/convert; do
    [[ -x $c ]] && { CONVERT=$c; break; }
done
for need in "$SQUASH" "$TOOL" "$CONVERT" "$(command -v jpegoptim)" "$(command -v hyperfine)" \
            "$(command -v compare)" "$(command -v identify)" "$(command -v gnuplot)"; do
    [[ -n $need && -x $need ]] || { echo "bench: missing tool ($need); run scripts/bootstrap and build first" >&2; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$RESULTS" "$WORK/out" "$WORK/next"

TABLE=$WORK/table.md
PLOT=$WORK/plot.dat
STAMP=$(date -u '+%Y-%m-%d %H:%M UTC')
{
    echo "Measured $STAMP on $(nproc) cores ($(uname -m)); median of $RUNS runs (the disk scan: $SCAN_RUNS) with hyperfine,"
    echo "whole process each time (decode, scale, search, write). KB = 1024 bytes. \"× ours\" is the tool's time over quillmoss-squash's."
    echo "PSNR is against the tool's own scaled source. \"one decode + one encode\" is quillmoss-squash --quality at the chosen quality."
    echo
    echo "| Picture | Limit | Size | Tool | Time (s) | × ours | Quality | Bytes | PSNR (dB) | Highest fitting q? |"
    echo "|---|---|---|---|---:|---:|---:|---:|---:|---|"
} >"$TABLE"
echo "# case ours scan imagemagick jpegoptim" >"$PLOT"

bytes() { [[ -s $1 ]] && stat -c %s "$1" || echo 0; }
psnr() { [[ -s $2 ]] && { compare -metric PSNR "$1" "$2" null: 2>&1 | awk '{ printf "%.2f", $1 }'; } || true; }
median() { awk -F, -v cmd="$2" 'NR > 1 && $1 == cmd { printf "%.3f", $4 }' "$1"; }

# verdict OUTPUT_FILE QUALITY LIMIT NEXT_FILE: whether QUALITY is the highest
# quality of that tool whose file fits, NEXT_FILE being its file at QUALITY+1.
verdict() {
    local size; size=$(bytes "$1")
    if ((size == 0)); then echo "no: nothing written"
    elif ((size > $3)); then echo "no: over the limit"
    elif (($2 < 100)) && (($(bytes "$4") <= $3)) && (($(bytes "$4") > 0)); then echo "no: q$(($2 + 1)) fits"
    else echo "yes"; fi
}

for picture in "${PICTURES[@]}"; do
    input=$CORPUS/$picture
    for kb in "${LIMITS[@]}"; do
        limit=$((kb * 1024))
        if (($(stat -c %s "$input") <= limit)); then
            echo "| $picture | ${kb} KB | | | | | | | | skipped: the file already fits |" >>"$TABLE"
            continue
        fi
        for size in "${SIZES[@]}"; do
            label="$(basename "${picture%.*}") ${kb}KB"
            label=${label/_by_*([^ ]) / }
            [[ $size != none ]] && label+=" $size"
            echo "== $label" >&2
            sizeOpt=() imResize=() scanSize=()
            if [[ $size != none ]]; then
                sizeOpt=(--size "$size") imResize=(-resize "$size!") scanSize=("$size")
            fi
            rm -f "$WORK"/out/* "$WORK"/next/*

            # Each tool's source at the target size, for PSNR. jpegoptim cannot
            # scale: it is given our scaled picture as a quality-100 JPEG,
            # made outside the timing.
            "$TOOL" source "$input" "$WORK/ours.png" "${scanSize[@]}"
            "$CONVERT" "$input" "${imResize[@]}" "$WORK/im.png"
            joInput=$input
            if [[ $size != none ]]; then
                joInput=$WORK/jo-in.jpg
                "$CONVERT" "$WORK/ours.png" -quality 100 "$joInput"
            fi
            "$CONVERT" "$joInput" "$WORK/jo.png"

            oursCmd="$SQUASH --max-size $limit ${sizeOpt[*]} --dest $WORK/out --suffix _ours $input"
            oursLine=$($oursCmd || true)
            oursQ=$(sed -n 's/.*squashed to \([0-9]*\)% JPEG quality.*/\1/p' <<<"$oursLine")
            [[ $oursLine == *FAILED* ]] && oursQ=1
            oneCmd="$SQUASH --quality $oursQ ${sizeOpt[*]} --dest $WORK/next --suffix _one $input"
            scanCmd="$TOOL scan $input $limit $WORK/out/scan.jpg ${scanSize[*]}"
            imCmd="$CONVERT $input ${imResize[*]} -define jpeg:extent=$limit $WORK/out/im.jpg"
            joCmd="jpegoptim -q --size=$kb --stdout $joInput > $WORK/out/jo.jpg"

            hyperfine -i -N --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/fast.csv" \
                -n ours "$oursCmd" -n one "$oneCmd" -n im "$imCmd" >/dev/null 2>&1
            hyperfine -i --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/jo.csv" \
                -n jo "$joCmd" >/dev/null 2>&1
            hyperfine -i -N --style none --runs "$SCAN_RUNS" --export-csv "$WORK/scan.csv" \
                -n scan "$scanCmd" >/dev/null 2>&1
            tOurs=$(median "$WORK/fast.csv" ours)
            tOne=$(median "$WORK/fast.csv" one)
            tIm=$(median "$WORK/fast.csv" im)
            tJo=$(median "$WORK/jo.csv" jo)
            tScan=$(median "$WORK/scan.csv" scan)
            ratio() { awk -v a="$1" -v b="$tOurs" 'BEGIN { printf "%.1f", a / b }'; }

            scanLine=$($scanCmd || true)
            scanQ=$([[ $scanLine == FAILED ]] && echo 1 || echo "$scanLine")
            imQ=$(identify -format %Q "$WORK/out/im.jpg" 2>/dev/null || echo 0)
            joQ=$(identify -format %Q "$WORK/out/jo.jpg" 2>/dev/null || echo 0)

            # Each tool's file one quality higher.
            "$SQUASH" --quality $((oursQ < 100 ? oursQ + 1 : 100)) "${sizeOpt[@]}" --dest "$WORK/next" --suffix _up "$input" >/dev/null
            oursNext=$(ls "$WORK"/next/*_up.jpg)
            "$CONVERT" "$input" "${imResize[@]}" -quality $((imQ + 1)) "$WORK/next/im.jpg"
            jpegoptim -q -m$((joQ + 1)) --stdout "$joInput" >"$WORK/next/jo.jpg" 2>/dev/null || true

            oursOut=$(ls "$WORK"/out/*_ours.jpg)
            failed() { [[ $1 == *FAILED* ]] && echo " (FAILED)" || true; }
            row() {   # tool time quality file source next [note]
                local v
                if [[ ${7:-} == FAILED ]]; then v="yes: even q1 is over, FAILED reported"
                else v=$(verdict "$4" "${3%% *}" "$limit" "$6"); fi
                echo "| $picture | ${kb} KB | $size | $1 | $2 | $(ratio "$2") | $3 | $(bytes "$4") | $(psnr "$5" "$4") | $v |" >>"$TABLE"
            }
            row "quillmoss-squash" "$tOurs" "$oursQ$(failed "$oursLine")" "$oursOut" "$WORK/ours.png" "$oursNext" \
                "$([[ $oursLine == *FAILED* ]] && echo FAILED)"
            row "disk scan (baseline)" "$tScan" "$scanQ$(failed "$scanLine")" "$WORK/out/scan.jpg" "$WORK/ours.png" "$oursNext" \
                "$([[ $scanLine == FAILED ]] && echo FAILED)"
            row "ImageMagick jpeg:extent" "$tIm" "$imQ" "$WORK/out/im.jpg" "$WORK/im.png" "$WORK/next/im.jpg"
            row "jpegoptim --size" "$tJo" "$joQ" "$WORK/out/jo.jpg" "$WORK/jo.png" "$WORK/next/jo.jpg"
            echo "| $picture | ${kb} KB | $size | one decode + one encode | $tOne | $(ratio "$tOne") | $oursQ | | | |" >>"$TABLE"
            echo "\"$label\" $tOurs $tScan $tIm $tJo" >>"$PLOT"
        done
    done
done

cp "$TABLE" "$RESULTS/latest.md"
cp "$PLOT" "$RESULTS/latest.dat"
gnuplot <<EOF
set terminal pngcairo size 1400,640 font ",10"
set output "$RESULTS/latest.png"
set title "Time to squash one picture to a byte limit (whole process, median; log scale)"
set ylabel "seconds"
set logscale y
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.9 border -1
set key outside top center horizontal
set grid ytics
set xtics rotate by -35 left
plot "$RESULTS/latest.dat" using 2:xtic(1) title "quillmoss-squash", \
     "" using 3 title "disk scan (baseline)", \
     "" using 4 title "ImageMagick jpeg:extent", \
     "" using 5 title "jpegoptim --size"
EOF

# The README shows the latest table between its two markers.
if grep -q '<!-- bench:start -->' "$ROOT/README.md"; then
    awk -v table="$RESULTS/latest.md" '
        /<!-- bench:start -->/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
        /<!-- bench:end -->/ { skip = 0 }
        !skip' "$ROOT/README.md" >"$WORK/README.md" && cp "$WORK/README.md" "$ROOT/README.md"
fi
echo "bench: wrote $RESULTS/latest.md and $RESULTS/latest.png" >&2
