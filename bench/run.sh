#!/usr/bin/env bash
# Times quillmoss-squash side by side with a plain disk scan built on our own
# writer, ImageMagick's jpeg:extent and jpegoptim --size, in one run on this
# machine, against the floor of one decode and one encode by libjpeg-turbo's
# own tools (djpeg | cjpeg -optimize at the quality ours chose), and writes a
# Markdown table, the issue's targets met or missed, and a plot under
# bench/results/.
#
#   bash bench/run.sh BUILD_DIR
#
# Narrow it with BENCH_PICTURES="a.jpg b.jpg", BENCH_LIMITS="250 100" (KB of
# 1024 bytes), BENCH_SIZES="none 800x600", BENCH_RUNS (default 5),
# BENCH_SCAN_RUNS (default 0: the disk scan takes tens of seconds per run and
# would push the bench far past a quarter of an hour; 3 times it) and
# BENCH_BATCH=0 to leave out the batch of 24 photos. BENCH_MADE (default
# "progressive png heic") adds rows for Kleiber converted to those at bench
# time, squashed to 250 KB at its own size (the progressive copy at 800x600
# too). BENCH_FIT (default "Kleiber_by_Lukas_Baubkus.jpg
# Kleiber_progressive.jpg") times what would fit (--fit at 100 KB, where even
# quality 1 is over) against a successful squash of the same picture. BENCH_RESULTS=DIR writes the table
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
MADE=(${BENCH_MADE:-progressive png heic})
FIT=(${BENCH_FIT:-Kleiber_by_Lukas_Baubkus.jpg Kleiber_progressive.jpg})

# ImageMagick's own convert: another program of that name may come first on PATH.
CONVERT=
for c in /usr/bin/convert-im6.q16 /usr/bin/convert; do
    [[ -x $c ]] && { CONVERT=$c; break; }
done
for need in "$SQUASH" "$TOOL" "$CONVERT" "$(command -v jpegoptim)" "$(command -v hyperfine)" \
            "$(command -v compare)" "$(command -v identify)" "$(command -v gnuplot)" /usr/bin/time \
            "$(command -v djpeg)" "$(command -v cjpeg)" "$(command -v jpegtran)"; do
    [[ -n $need && -x $need ]] || { echo "bench: missing tool ($need); run scripts/bootstrap and build first" >&2; exit 1; }
done

BATCH_SOURCES=(Kleiber_by_Lukas_Baubkus.jpg issue70.jpg Grey_2560x1600.jpg)
TINY=video-001.jpeg   # what each program takes on its own, without a picture to speak of
for picture in "${PICTURES[@]}" "${BATCH_SOURCES[@]}" $TINY; do
    [[ -f $CORPUS/$picture ]] || { echo "bench: missing picture $CORPUS/$picture" >&2; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$RESULTS" "$WORK/out" "$WORK/next" "$WORK/made" "$WORK/tiny"

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
    progressive)
        # The same photo, the same coefficients, progressive (over 10 MP).
        jpegtran -copy all -progressive -outfile "$WORK/made/Kleiber_progressive.jpg" "$CORPUS/Kleiber_by_Lukas_Baubkus.jpg"
        CASES+=("Kleiber_progressive.jpg 250 none" "Kleiber_progressive.jpg 250 800x600")
        continue ;;
    heic) "$CONVERT" "$CORPUS/Kleiber_by_Lukas_Baubkus.jpg" "$WORK/made/k.png"
          heif-enc -q 85 -o "$WORK/made/Kleiber.heic" "$WORK/made/k.png" >/dev/null ;;
    *) "$CONVERT" "$CORPUS/Kleiber_by_Lukas_Baubkus.jpg" "$WORK/made/Kleiber.$format" ;;
    esac
    CASES+=("Kleiber.$format 250 none")
done

TABLE=$WORK/table.md
PLOT=$WORK/plot.dat
STAMP=$(date -u '+%Y-%m-%d %H:%M UTC')
bytes() { [[ -s $1 ]] && stat -c %s "$1" || echo 0; }
psnr() { [[ -s $2 ]] && { compare -metric PSNR "$1" "$2" null: 2>&1 | awk '{ printf "%.2f", $1 }'; } || true; }
median() { awk -F, -v cmd="$2" 'NR > 1 && $1 == cmd { printf "%.3f", $4 }' "$1"; }
# measure COMMAND [CSV NAME]: one run under GNU time; sets peakKiB (the
# largest resident set of any one process of it) and cores (CPU time over
# wall time): of that run, or with CSV and NAME of hyperfine's timed runs of
# it, which one run's noise does not sway.
measure() {
    /usr/bin/time -f '%M %e %U %S' -o "$WORK/peak" bash -c "$1" >/dev/null 2>&1 || true
    read -r peakKiB cores < <(awk 'END { printf "%d %.2f\n", $1, ($1 > 0 && $2 > 0) ? ($3 + $4) / $2 : 0 }' "$WORK/peak")
    if (($# == 3)); then
        cores=$(awk -F, -v cmd="$3" 'NR > 1 && $1 == cmd && $2 > 0 { printf "%.2f", ($5 + $6) / $2 }' "$2")
    fi
}
# columns [BASE_KIB PIXELS]: "Peak MiB | bytes a pixel over BASE_KIB | cores"
# of the last measure; with no PIXELS the middle column stays empty.
columns() {
    awk -v k="$peakKiB" -v b="${1:-0}" -v p="${2:-0}" -v c="$cores" \
        'BEGIN { printf "%.0f | %s | %.2f", k / 1024, (p > 0 ? sprintf("%.1f", (k - b) * 1024 / p) : ""), c }'
}

# What each program holds on its own: its peak on a tiny picture, taken off
# the peaks of the rows to give bytes a pixel above it.
tiny=$CORPUS/$TINY
measure "$SQUASH --quality 90 --dest $WORK/tiny $tiny"; baseOurs=$peakKiB
measure "$CONVERT $tiny -quality 90 $WORK/tiny/im.jpg"; baseIm=$peakKiB
measure "jpegoptim -q -m90 --stdout $tiny > $WORK/tiny/jo.jpg"; baseJo=$peakKiB
measure "djpeg $tiny | cjpeg -optimize -quality 90 > $WORK/tiny/floor.jpg"; baseFloor=$peakKiB

# The targets the bench checks, filled in as the rows are measured.
declare -A got=()
{
    echo "Measured $STAMP on $(nproc) cores ($(uname -m)); median of $RUNS runs (the disk scan: $SCAN_RUNS) with hyperfine,"
    echo "whole process each time (decode, scale, search, write). KB = 1024 bytes. \"× ours\" is the tool's time over quillmoss-squash's."
    echo "PSNR is against the tool's own scaled source. The floor is one decode and one encode by libjpeg-turbo's own tools,"
    echo "\"djpeg IN | cjpeg -optimize -quality Q\" at the quality ours chose, as a pipe (both cores); it is measured for JPEG"
    echo "inputs at their own size only. \"× floor\" is each time over the floor's. \"quillmoss-squash --quality\" is ours at that quality"
    echo "without the search. Peak memory is the largest resident set of one process of one run (GNU time); \"B/px\" is that peak less"
    echo "the program's own (its peak on a 150x103 picture: ours $((baseOurs / 1024)) MiB, ImageMagick $((baseIm / 1024)) MiB,"
    echo "jpegoptim $((baseJo / 1024)) MiB, the floor $((baseFloor / 1024)) MiB) over the input's pixels. \"Cores\" is CPU time over wall time, the mean of hyperfine's timed runs."
    echo "In the 800x600 rows and for the PNG and HEIC made from Kleiber jpegoptim is timed on ImageMagick's resize or conversion"
    echo "to a quality-100 JPEG file followed by jpegoptim on that file, the same work the others do."
    echo "The batch floor starts one process per file, so it pays 24 start-ups that the one-call batch does not."
    echo "The machine is shared: wall times are noisy, compare ratios within one run."
    echo
    echo "| Picture | Limit | Size | Tool | Time (s) | × ours | × floor | Peak MiB | B/px | Cores | Quality | Bytes | PSNR (dB) | Highest fitting q? |"
    echo "|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
} >"$TABLE"
echo "# case imagemagick/ours jpegoptim/ours ours/floor" >"$PLOT"

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
            echo "| $picture | ${kb} KB | $size |"' | | | | | | | | | |'" skipped: the file already fits |" >>"$TABLE"
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
            # libjpeg-turbo's tools cannot scale to a size of our choosing
            # nor read the other formats: no floor there.
            floorCmd=
            [[ $size == none && $input == *.jpg ]] &&
                floorCmd="djpeg $input | cjpeg -optimize -quality $oursQ > $WORK/out/floor.jpg"
            pixels=$("$TOOL" size "$input" | awk '{ print $1 * $2 }')

            hyperfine -i -N --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/fast.csv" \
                -n ours "$oursCmd" -n one "$oneCmd" -n im "$imCmd" >/dev/null 2>&1
            hyperfine -i --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/jo.csv" \
                -n jo "$joCmd" ${floorCmd:+-n floor "$floorCmd"} >/dev/null 2>&1
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
            tFloor=$(median "$WORK/jo.csv" floor)
            ratio() { awk -v a="$1" -v b="$tOurs" 'BEGIN { printf "%.2f", a / b }'; }
            floor() { [[ -n $tFloor ]] && awk -v a="$1" -v b="$tFloor" 'BEGIN { printf "%.2f", a / b }' || true; }
            measure "$oursCmd" "$WORK/fast.csv" ours; mOurs=$(columns "$baseOurs" "$pixels") kibOurs=$peakKiB
            measure "$oneCmd" "$WORK/fast.csv" one; mOne=$(columns "$baseOurs" "$pixels")
            measure "$imCmd" "$WORK/fast.csv" im; mIm=$(columns "$baseIm" "$pixels") kibIm=$peakKiB
            measure "$joCmd" "$WORK/jo.csv" jo; mJo=$(columns "$baseJo" "$pixels")
            if [[ -n $floorCmd ]]; then measure "$floorCmd" "$WORK/jo.csv" floor; mFloor=$(columns "$baseFloor" "$pixels"); fi

            key="$picture $kb $size"
            got["$key im/ours"]=$(ratio "$tIm")
            got["$key ours/floor"]=$(floor "$tOurs")
            got["$key B/px"]=$(awk -v k="$kibOurs" -v b="$baseOurs" -v p="$pixels" 'BEGIN { printf "%.1f", (k - b) * 1024 / p }')
            ((pixels <= 10000000 || kibOurs < kibIm)) || got[memory]+="$label "

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
            row() {   # tool time memory quality file source next [note]
                local v
                if [[ ${8:-} == FAILED ]]; then v="yes: even q1 is over, FAILED reported"
                else v=$(verdict "$5" "${4%% *}" "$limit" "$7"); fi
                echo "| $picture | ${kb} KB | $size | $1 | $2 | $(ratio "$2") | $(floor "$2") | $3 | $4 | $(bytes "$5") | $(psnr "$6" "$5") | $v |" >>"$TABLE"
            }
            row "quillmoss-squash" "$tOurs" "$mOurs" "$oursQ$(failed "$oursLine")" "$oursOut" "$WORK/ours.png" "$oursNext" \
                "$([[ $oursLine == *FAILED* ]] && echo FAILED)"
            if ((SCAN_RUNS > 0)); then
                row "disk scan (baseline)" "$tScan" "| |" "$scanQ$(failed "$scanLine")" "$WORK/out/scan.jpg" "$WORK/ours.png" \
                    "$oursNext" "$([[ $scanLine == FAILED ]] && echo FAILED)"
            fi
            row "ImageMagick jpeg:extent" "$tIm" "$mIm" "$imQ" "$WORK/out/im.jpg" "$WORK/im.png" "$WORK/next/im.jpg"
            row "jpegoptim --size" "$tJo" "$mJo" "$joQ" "$WORK/out/jo.jpg" "$WORK/jo.png" "$WORK/next/jo.jpg"
            echo "| $picture | ${kb} KB | $size | quillmoss-squash --quality | $tOne | $(ratio "$tOne") | $(floor "$tOne") | $mOne | $oursQ | | | |" >>"$TABLE"
            [[ -n $floorCmd ]] &&
                echo "| $picture | ${kb} KB | $size | djpeg \| cjpeg -optimize (floor) | $tFloor | $(ratio "$tFloor") | 1.00 | $mFloor | $oursQ | $(bytes "$WORK/out/floor.jpg") | | |" >>"$TABLE"
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
        awk -v d="$WORK/bone" '{ n = split($2, p, "/"); printf "djpeg %s | cjpeg -optimize -quality %s > %s/%s; ", $2, $1, d, p[n] }')
    # The same 24 sharing one budget of 24 x 100 KB instead of 100 KB each.
    sharedB="$SQUASH --total-size $((24 * limit)) --dest $WORK/bshared $WORK/batch/*.jpg"
    hyperfine -i --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/batch.csv" \
        -n ours "$oursB" -n one "$oneB" -n im "$imB" -n shared "$sharedB" >/dev/null 2>&1
    tOurs=$(median "$WORK/batch.csv" ours) tOne=$(median "$WORK/batch.csv" one) tIm=$(median "$WORK/batch.csv" im)
    tShared=$(median "$WORK/batch.csv" shared)
    sharedSummary=$($sharedB | tail -1)
    ratio() { awk -v a="$1" -v b="$tOurs" 'BEGIN { printf "%.2f", a / b }'; }
    floor() { awk -v a="$1" -v b="$tOne" 'BEGIN { printf "%.2f", a / b }'; }
    measure "$oursB" "$WORK/batch.csv" ours; mOurs=$(columns) coresOurs=$cores
    measure "$imB" "$WORK/batch.csv" im; mIm=$(columns)
    measure "$oneB" "$WORK/batch.csv" one; mOne=$(columns)
    measure "$sharedB" "$WORK/batch.csv" shared; mShared=$(columns)
    got["batch im/ours"]=$(ratio "$tIm")
    got["batch cores"]=$coresOurs
    label="24 photos 1.3-1.8 MP, 100 KB"
    echo "| $label | 100 KB | | quillmoss-squash, one call | $tOurs | 1.00 | $(floor "$tOurs") | $mOurs | | | | |" >>"$TABLE"
    echo "| $label | 100 KB | | ImageMagick jpeg:extent, two at a time | $tIm | $(ratio "$tIm") | $(floor "$tIm") | $mIm | | | | |" >>"$TABLE"
    echo "| $label | 100 KB | | djpeg \| cjpeg -optimize per file, one after another (floor) | $tOne | $(ratio "$tOne") | 1.00 | $mOne | | | | |" >>"$TABLE"
    echo "| 24 photos 1.3-1.8 MP, one budget | 2400 KB in all | | quillmoss-squash --total-size, one call | $tShared | $(ratio "$tShared") | $(floor "$tShared") | $mShared | $sharedSummary | | | |" >>"$TABLE"
    echo "\"batch 24 x 1.5MP 100KB\" $(ratio "$tIm") ? $(floor "$tOurs")" >>"$PLOT"
fi

# What would fit: a squash to 100 KB, which fails even at quality 1, with
# --fit (the fitting size written) against a successful squash of the same
# picture to 250 KB; "× ours" is over that squash.
for picture in "${FIT[@]}"; do
    input=$CORPUS/$picture
    [[ -f $input ]] || input=$WORK/made/$picture
    [[ -f $input ]] || continue
    echo "== what would fit: $picture" >&2
    rm -f "$WORK"/out/*
    okCmd="$SQUASH --max-size 256000 --dest $WORK/out --suffix _ok $input"
    fitCmd="$SQUASH --max-size 102400 --fit --dest $WORK/out --suffix _fit $input"
    hyperfine -i -N --style none --warmup 1 --runs "$RUNS" --export-csv "$WORK/fit.csv" \
        -n ok "$okCmd" -n fit "$fitCmd" >/dev/null 2>&1
    tOk=$(median "$WORK/fit.csv" ok) tFit=$(median "$WORK/fit.csv" fit)
    fitLine=$($fitCmd || true)
    fitSize=$(identify -format '%wx%h' "$WORK"/out/*_fit.jpg 2>/dev/null || true)
    fitQ=$(identify -format '%Q' "$WORK"/out/*_fit.jpg 2>/dev/null || true)
    pixels=$("$TOOL" size "$input" | awk '{ print $1 * $2 }')
    got["$picture fit/ok"]=$(awk -v a="$tFit" -v b="$tOk" 'BEGIN { printf "%.2f", a / b }')
    measure "$okCmd" "$WORK/fit.csv" ok; mOk=$(columns "$baseOurs" "$pixels")
    measure "$fitCmd" "$WORK/fit.csv" fit; mFit=$(columns "$baseOurs" "$pixels")
    echo "| $picture | 250 KB | none | quillmoss-squash (success) | $tOk | 1.00 | | $mOk | | | | |" >>"$TABLE"
    echo "| $picture | 100 KB | none | quillmoss-squash --fit (what would fit: $fitSize) | $tFit | ${got["$picture fit/ok"]} | | $mFit | $fitQ | $(bytes "$(ls "$WORK"/out/*_fit.jpg 2>/dev/null | head -1)") | | $([[ $fitLine == *FAILED* ]] && echo FAILED) |" >>"$TABLE"
done

# The targets, met or missed in this run.
{
    echo
    echo "| Target | Measured | Wanted | |"
    echo "|---|---:|---:|---|"
    # target TEXT VALUE OP BOUND
    target() {
        local verdict=
        [[ -n $2 ]] && verdict=$(awk -v v="$2" -v b="$4" -v op="$3" \
            'BEGIN { ok = op == "<=" ? v <= b : v >= b; print ok ? "met" : "missed" }')
        echo "| $1 | ${2:-not measured} | $3 $4 | $verdict |"
    }
    p="Kleiber_progressive.jpg 250" b="Kleiber_by_Lukas_Baubkus.jpg 250"
    target "Progressive photo over 10 MP to 250 KB: ours over the floor" "${got["$p none ours/floor"]:-}" "<=" 1.1
    target "Progressive photo over 10 MP to 250 KB: ImageMagick over ours" "${got["$p none im/ours"]:-}" ">=" 2.6
    target "Baseline photo over 10 MP to 250 KB: ImageMagick over ours" "${got["$b none im/ours"]:-}" ">=" 3.5
    target "Progressive photo at 800x600: ImageMagick over ours" "${got["$p 800x600 im/ours"]:-}" ">=" 3
    target "The 24-photo batch: ImageMagick two at a time over ours" "${got["batch im/ours"]:-}" ">=" 2.5
    target "The 24-photo batch: cores busy" "${got["batch cores"]:-}" ">=" 1.85
    for picture in "${FIT[@]}"; do
        target "What would fit on $picture: over a successful squash" "${got["$picture fit/ok"]:-}" "<=" 1.5
    done
    target "Progressive photo over 10 MP: bytes a pixel above our own" "${got["$p none B/px"]:-}" "<=" 5
    target "Baseline photo over 10 MP: bytes a pixel above our own" "${got["$b none B/px"]:-}" "<=" 5
    target "Baseline portrait photo over 10 MP (issue70): bytes a pixel above our own" "${got["issue70.jpg 250 none B/px"]:-}" "<=" 5
    echo "| Photos over 10 MP: peak memory below ImageMagick's on every row | ${got[memory]:+not on: }${got[memory]:-below on every row} | | $([[ -z ${got[memory]:-} ]] && echo met || echo missed) |"
} >>"$TABLE"

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
