#!/usr/bin/env bash
# Times quillmoss-squash side by side with a plain disk scan built on our own
# writer, ImageMagick's jpeg:extent and jpegoptim --size, in one run on this
# machine, and writes a Markdown table and a plot under bench/results/.
#
#   bash bench/run.sh BUILD_DIR
#
# Narrow it with BENCH_PICTURES="a.jpg b.jpg", BENCH_LIMITS="250 100" (KB of
# 1024 bytes), BENCH_SIZES="none 800x600", BENCH_RUNS (default 5),
# BENCH_SCAN_RUNS (default 0: the disk scan takes tens of seconds per run and
# would push the bench far past a quarter of an hour; 3 times it) and
# BENCH_BATCH=0 to leave out the batch of 24 photos. BENCH_MADE (default
# "png heic") adds rows for Kleiber converted to those formats at bench time,
# squashed to 250 KB at its own size. BENCH_RESULTS=DIR writes the table
# there instead, leaving bench/results and the README as they are (for a
# reduced run: BENCH_PICTURES=" " BENCH_MADE=" " measures the batch only).
set -euo pipefail
shopt -s extglob

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
CORPUS=$ROOT/tests/pictures
RESULTS=${BENCH_RESULTS:-$ROOT/bench/results}
SQUASH=$BUILD/cli/quillmoss-squash
TOOL=$BUILD/bench/quillmoss-bench
PICTURES=(${BENCH_PICTURES:-Kleiber_by_Lukas_Baubkus.jpg issue70.jpg Picture_1A_by_freespace.jpg GreenMeadow.jpg})
LIMITS=(${BENCH_LIMITS:-250 100 50})
SIZES=(${BENCH_SIZES:-none 800x600})
RUNS=${BENCH_RUNS:-5}
SCAN_RUNS=${BENCH_SCAN_RUNS:-0}
BATCH=${BENCH_BATCH:-1}
MADE=(${BENCH_MADE:-png heic})

# ImageMagick's own convert: another program of that name may come first on PATH.
CONVERT=
for c in /usr/bin/convert-im6.q16 /usr/bin/convert; do
    [[ -x $c ]] && { CONVERT=$c; break; }
done
for need in "$SQUASH" "$TOOL" "$CONVERT" "$(command -v jpegoptim)" "$(command -v hyperfine)" \
            "$(command -v compare)" "$(command -v identify)" "$(command -v gnuplot)" /usr/bin/time; do
    [[ -n $need && -x $need ]] || { echo "bench: missing tool ($need); run scripts/bootstrap and build first" >&2; exit 1; }
done

BATCH_SOURCES=(Kleiber_by_Lukas_Baubkus.jpg issue70.jpg Grey_2560x1600.jpg)
for picture in "${PICTURES[@]}" "${BATCH_SOURCES[@]}"; do
    [[ -f $CORPUS/$picture ]] || { echo "bench: missing picture $CORPUS/$picture" >&2; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$RESULTS" "$WORK/out" "$WORK/next" "$WORK/made"

# Every row: picture, limit in KB, size. The made pictures are not in the
# corpus: converted here, outside the timing.
CASES=()
for picture in "${PICTURES[@]}"; do
    for kb in "${LIMITS[@]}"; do
        for size in "${SIZES[@]}"; do CASES+=("$picture $kb $size"); done
    done
done
for format in "${MADE[@]}"; do
    echo "== making Kleiber.$format" >&2
    case $format in
    heic) "$CONVERT" "$CORPUS/Kleiber_by_Lukas_Baubkus.jpg" "$WORK/made/k.png"
          heif-enc -q 85 -o "$WORK/made/Kleiber.heic" "$WORK/made/k.png" >/dev/null ;;
    *) "$CONVERT" "$CORPUS/Kleiber_by_Lukas_Baubkus.jpg" "$WORK/made/Kleiber.$format" ;;
    esac
    CASES+=("Kleiber.$format 250 none")
done

TABLE=$WORK/table.md
PLOT=$WORK/plot.dat
STAMP=$(date -u '+%Y-%m-%d %H:%M UTC')
{
    echo "Measured $STAMP on $(nproc) cores ($(uname -m)); median of $RUNS runs (the disk scan: $SCAN_RUNS) with hyperfine,"
    echo "whole process each time (decode, scale, search, write). KB = 1024 bytes. \"× ours\" is the tool's time over quillmoss-squash's."
    echo "PSNR is against the tool's own scaled source. \"one decode + one encode\" (the floor) is quillmoss-squash --quality at the chosen quality;"
    echo "\"× floor\" is each time over the floor's. Peak memory is the largest resident set of one run (GNU time)."
    echo "In the 800x600 rows and for the PNG and HEIC made from Kleiber jpegoptim is timed on ImageMagick's resize or conversion"
    echo "to a quality-100 JPEG file followed by jpegoptim on that file, the same work the others do."
    echo "The batch floor starts one process per file, so it pays 24 start-ups that the one-call batch does not."
    echo "The machine is shared: wall times are noisy, compare ratios within one run."
    echo
    echo "| Picture | Limit | Size | Tool | Time (s) | × ours | × floor | Peak MiB | Quality | Bytes | PSNR (dB) | Highest fitting q? |"
    echo "|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---|"
} >"$TABLE"
echo "# case imagemagick/ours jpegoptim/ours ours/floor" >"$PLOT"

bytes() { [[ -s $1 ]] && stat -c %s "$1" || echo 0; }
psnr() { [[ -s $2 ]] && { compare -metric PSNR "$1" "$2" null: 2>&1 | awk '{ printf "%.2f", $1 }'; } || true; }
median() { awk -F, -v cmd="$2" 'NR > 1 && $1 == cmd { printf "%.3f", $4 }' "$1"; }
# peak COMMAND...: the largest resident set of one run, in MiB.
peak() { /usr/bin/time -f %M -o "$WORK/peak" bash -c "$*" >/dev/null 2>&1 || true; awk 'END { printf "%.0f", $1 / 1024 }' "$WORK/peak"; }

# verdict OUTPUT_FILE QUALITY LIMIT NEXT_FILE: whether QUALITY is the highest
# quality of that tool whose file fits, NEXT_FILE being its file at QUALITY+1.
verdict() {
    local size; size=$(bytes "$1")
    if ((size == 0)); then echo "no: nothing written"
    elif ((size > $3)); then echo "no: over the limit"
    elif (($2 < 100)) && (($(bytes "$4") <= $3)) && (($(bytes "$4") > 0)); then echo "no: q$(($2 + 1)) fits"
    else echo "yes"; fi
}

for case in "${CASES[@]}"; do
    read -r picture kb size <<<"$case"
    input=$CORPUS/$picture
    [[ -f $input ]] || input=$WORK/made/$picture
    {
        limit=$((kb * 1024))
        if (($(stat -c %s "$input") <= limit)); then
            echo "| $picture | ${kb} KB | $size | | | | | | | skipped: the file already fits |" >>"$TABLE"
            continue
        fi
        {
            label="$(basename "${picture%.*}") ${kb}KB"
            label=${label/_by_*([^ ]) / }
            [[ $input != *.jpg ]] && label="${label/ / ${picture##*.} }"
            [[ $size != none ]] && label+=" $size"
            echo "== $label" >&2
            sizeOpt=() imResize=() scanSize=()
            if [[ $size != none ]]; then
                sizeOpt=(--size "$size") imResize=(-resize "$size!") scanSize=("$size")
            fi
            rm -f "$WORK"/out/* "$WORK"/next/*

            # Each tool's source at the target size, for PSNR. jpegoptim cannot
            # scale nor read other formats: in the scaled rows and for the made
            # pictures ImageMagick's resize (or conversion) to a quality-100
            # JPEG comes first, inside the timing.
            "$TOOL" source "$input" "$WORK/ours.png" "${scanSize[@]}"
            "$CONVERT" "$input" "${imResize[@]}" "$WORK/im.png"
            joInput=$input
            joFeed="jpegoptim -q --size=$kb --stdout $input"
            if [[ $size != none || $input != *.jpg ]]; then
                joInput=$WORK/jo-in.jpg
                "$CONVERT" "$input" "${imResize[@]}" -quality 100 "$joInput"
                # jpegoptim's --stdin reads file names, not pictures: the
                # quality-100 JPEG goes through a file, inside the timing.
                joFeed="$CONVERT $input ${imResize[*]} -quality 100 $WORK/jo-timed.jpg && jpegoptim -q --size=$kb --stdout $WORK/jo-timed.jpg"
            fi
            "$CONVERT" "$joInput" "$WORK/jo.png"

            oursCmd="$SQUASH --max-size $limit ${sizeOpt[*]} --dest $WORK/out --suffix _ours $input"
            oursLine=$($oursCmd || true)
            oursQ=$(sed -n 's/.*squashed to \([0-9]*\)% JPEG quality.*/\1/p' <<<"$oursLine")
            [[ $oursLine == *FAILED* ]] && oursQ=1
            oneCmd="$SQUASH --quality $oursQ ${sizeOpt[*]} --dest $WORK/next --suffix _one $input"
            scanCmd="$TOOL scan $input $limit $WORK/out/scan.jpg ${scanSize[*]}"
            imCmd="$CONVERT $input ${imResize[*]} -define jpeg:extent=$limit $WORK/out/im.jpg"
            joCmd="$joFeed > $WORK/out/jo.jpg"

            hyperfine -i -N --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/fast.csv" \
                -n ours "$oursCmd" -n one "$oneCmd" -n im "$imCmd" >/dev/null 2>&1
            hyperfine -i --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/jo.csv" \
                -n jo "$joCmd" >/dev/null 2>&1
            tScan=
            if ((SCAN_RUNS > 0)); then
                hyperfine -i -N --style none --runs "$SCAN_RUNS" --export-csv "$WORK/scan.csv" \
                    -n scan "$scanCmd" >/dev/null 2>&1
                tScan=$(median "$WORK/scan.csv" scan)
            fi
            tOurs=$(median "$WORK/fast.csv" ours)
            tOne=$(median "$WORK/fast.csv" one)
            tIm=$(median "$WORK/fast.csv" im)
            tJo=$(median "$WORK/jo.csv" jo)
            ratio() { awk -v a="$1" -v b="$tOurs" 'BEGIN { printf "%.2f", a / b }'; }
            floor() { awk -v a="$1" -v b="$tOne" 'BEGIN { printf "%.2f", a / b }'; }
            mOurs=$(peak "$oursCmd") mOne=$(peak "$oneCmd") mIm=$(peak "$imCmd") mJo=$(peak "$joCmd")

            if ((SCAN_RUNS > 0)); then
                scanLine=$($scanCmd || true)
                scanQ=$([[ $scanLine == FAILED ]] && echo 1 || echo "$scanLine")
            fi
            imQ=$(identify -format %Q "$WORK/out/im.jpg" 2>/dev/null || echo 0)
            joQ=$(identify -format %Q "$WORK/out/jo.jpg" 2>/dev/null || echo 0)

            # Each tool's file one quality higher.
            "$SQUASH" --quality $((oursQ < 100 ? oursQ + 1 : 100)) "${sizeOpt[@]}" --dest "$WORK/next" --suffix _up "$input" >/dev/null
            oursNext=$(ls "$WORK"/next/*_up.jpg)
            "$CONVERT" "$input" "${imResize[@]}" -quality $((imQ + 1)) "$WORK/next/im.jpg"
            jpegoptim -q -m$((joQ + 1)) --stdout "$joInput" >"$WORK/next/jo.jpg" 2>/dev/null || true

            oursOut=$(ls "$WORK"/out/*_ours.jpg)
            failed() { [[ $1 == *FAILED* ]] && echo " (FAILED)" || true; }
            row() {   # tool time peak quality file source next [note]
                local v
                if [[ ${8:-} == FAILED ]]; then v="yes: even q1 is over, FAILED reported"
                else v=$(verdict "$5" "${4%% *}" "$limit" "$7"); fi
                echo "| $picture | ${kb} KB | $size | $1 | $2 | $(ratio "$2") | $(floor "$2") | $3 | $4 | $(bytes "$5") | $(psnr "$6" "$5") | $v |" >>"$TABLE"
            }
            row "quillmoss-squash" "$tOurs" "$mOurs" "$oursQ$(failed "$oursLine")" "$oursOut" "$WORK/ours.png" "$oursNext" \
                "$([[ $oursLine == *FAILED* ]] && echo FAILED)"
            if ((SCAN_RUNS > 0)); then
                row "disk scan (baseline)" "$tScan" "" "$scanQ$(failed "$scanLine")" "$WORK/out/scan.jpg" "$WORK/ours.png" \
                    "$oursNext" "$([[ $scanLine == FAILED ]] && echo FAILED)"
            fi
            row "ImageMagick jpeg:extent" "$tIm" "$mIm" "$imQ" "$WORK/out/im.jpg" "$WORK/im.png" "$WORK/next/im.jpg"
            row "jpegoptim --size" "$tJo" "$mJo" "$joQ" "$WORK/out/jo.jpg" "$WORK/jo.png" "$WORK/next/jo.jpg"
            echo "| $picture | ${kb} KB | $size | one decode + one encode (floor) | $tOne | $(ratio "$tOne") | 1.00 | $mOne | $oursQ | | | |" >>"$TABLE"
            echo "\"$label\" $(ratio "$tIm") $(ratio "$tJo") $(floor "$tOurs")" >>"$PLOT"
        }
    }
done

# The batch: 24 photos of 1.3 to 1.8 megapixels cut and scaled from the
# test pictures' large photos, squashed to 100 KB in one call; ImageMagick two at a
# time; the floor is one call of --quality per file at the quality ours chose.
if ((BATCH)); then
    echo "== batch" >&2
    mkdir -p "$WORK/batch" "$WORK/bout" "$WORK/bim" "$WORK/bone" "$WORK/bshared"
    sources=("${BATCH_SOURCES[@]/#/$CORPUS/}")
    for i in $(seq 0 23); do
        src=${sources[i % 3]}
        w=$((1300 + (i * 37) % 260)) h=$((1000 + (i * 53) % 160))   # 1.3 to 1.8 MP
        if ((i % 2)); then
            "$CONVERT" "$src" -resize "${w}x${h}!" -quality 92 "$WORK/batch/b$i.jpg"
        else
            "$CONVERT" "$src" -gravity center -crop "${w}x${h}+$((i * 41))+$((i * 29))" +repage -quality 92 "$WORK/batch/b$i.jpg"
        fi
    done
    limit=102400
    oursB="$SQUASH --max-size $limit --dest $WORK/bout $WORK/batch/*.jpg"
    imB="ls $WORK/batch/*.jpg | xargs -P2 -I{} sh -c '$CONVERT {} -define jpeg:extent=$limit $WORK/bim/\$(basename {})'"
    $oursB >"$WORK/blog" 2>&1 || true
    oneB=$(sed -n 's/^\(.*\) -> .*squashed to \([0-9]*\)% JPEG.*/\2 \1/p' "$WORK/blog" |
        awk -v s="$SQUASH" -v d="$WORK/bone" '{ printf "%s --quality %s --dest %s %s; ", s, $1, d, $2 }')
    # The same 24 sharing one budget of 24 x 100 KB instead of 100 KB each.
    sharedB="$SQUASH --total-size $((24 * limit)) --dest $WORK/bshared $WORK/batch/*.jpg"
    hyperfine -i --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/batch.csv" \
        -n ours "$oursB" -n one "$oneB" -n im "$imB" -n shared "$sharedB" >/dev/null 2>&1
    tOurs=$(median "$WORK/batch.csv" ours) tOne=$(median "$WORK/batch.csv" one) tIm=$(median "$WORK/batch.csv" im)
    tShared=$(median "$WORK/batch.csv" shared)
    sharedSummary=$($sharedB | tail -1)
    ratio() { awk -v a="$1" -v b="$tOurs" 'BEGIN { printf "%.2f", a / b }'; }
    floor() { awk -v a="$1" -v b="$tOne" 'BEGIN { printf "%.2f", a / b }'; }
    label="24 photos 1.3-1.8 MP, 100 KB"
    echo "| $label | 100 KB | | quillmoss-squash, one call | $tOurs | 1.00 | $(floor "$tOurs") | $(peak "$oursB") | | | | |" >>"$TABLE"
    echo "| $label | 100 KB | | ImageMagick jpeg:extent, two at a time | $tIm | $(ratio "$tIm") | $(floor "$tIm") | $(peak "$imB") | | | | |" >>"$TABLE"
    echo "| $label | 100 KB | | one decode + one encode per file (floor) | $tOne | $(ratio "$tOne") | 1.00 | | | | | |" >>"$TABLE"
    echo "| 24 photos 1.3-1.8 MP, one budget | 2400 KB in all | | quillmoss-squash --total-size, one call | $tShared | $(ratio "$tShared") | $(floor "$tShared") | $(peak "$sharedB") | $sharedSummary | | | |" >>"$TABLE"
    echo "\"batch 24 x 1.5MP 100KB\" $(ratio "$tIm") ? $(floor "$tOurs")" >>"$PLOT"
fi

cp "$TABLE" "$RESULTS/latest.md"
cp "$PLOT" "$RESULTS/latest.dat"
gnuplot <<EOF
set terminal pngcairo size 1400,640 font ",10"
set output "$RESULTS/latest.png"
set title "Each peer's time over quillmoss-squash's, and ours over the floor (whole process, median)"
set ylabel "ratio (1 = as fast as ours)"
set logscale y
set datafile missing "?"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.9 border -1
set key outside top center horizontal
set grid ytics
set xtics rotate by -35 left
plot "$RESULTS/latest.dat" using 2:xtic(1) title "ImageMagick jpeg:extent / ours", \
     "" using 3 title "jpegoptim --size / ours", \
     "" using 4 title "ours / one decode + one encode"
EOF

# The README shows the latest table between its two markers.
if [[ -z ${BENCH_RESULTS:-} ]] && grep -q '<!-- bench:start -->' "$ROOT/README.md"; then
    awk -v table="$RESULTS/latest.md" '
        /<!-- bench:start -->/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
        /<!-- bench:end -->/ { skip = 0 }
        !skip' "$ROOT/README.md" >"$WORK/README.md" && cp "$WORK/README.md" "$ROOT/README.md"
fi
echo "bench: wrote $RESULTS/latest.md and $RESULTS/latest.png" >&2
