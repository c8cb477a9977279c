#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into fuzz/corpus/ from the
# simulator (small images, every fault mode) and from real products.
#   fuzz/make_seeds.sh [BUILD_DIR]    (default: build)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
corpus="$top/fuzz/corpus"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# A packet-stream seed: flags byte, the current stream's length (4 bytes,
# big-endian), the current stream, then the successor stream.
packet_seed() {  # flags current successor out
  local length; length=$(stat -c %s "$2")
  { printf "\\x$(printf %02x "$1")"
    printf "\\x$(printf %02x $((length >> 24 & 255)))\\x$(printf %02x $((length >> 16 & 255)))"
    printf "\\x$(printf %02x $((length >> 8 & 255)))\\x$(printf %02x $((length & 255)))"
    cat "$2" ${3:+"$3"}; } > "$4"
}

mkdir -p "$corpus"/{fuzz_packets,fuzz_parameters,fuzz_despike,fuzz_isp_row,fuzz_quicklook_product,fuzz_campaign_state,fuzz_catalog_report,fuzz_follower_metrics}
for fault in none duplicate missing-final truncate bad-length id-repeat foreign-apid alias-apid \
             bad-header-bits bad-index sel-bits bit15 gap; do
  out="$scratch/l0-$fault"
  args=(--raw --out "$out" --duration 60s --cadence 10s --file-span 30s --size 8x6 --samples-per-packet 20 --seed 3)
  [ "$fault" = none ] || args+=(--fault "$fault@2")
  "$build/tavo_l0sim" "${args[@]}" > /dev/null
  files=("$out"/*.bin)
  packet_seed 1 "${files[0]}" "${files[1]:-}" "$corpus/fuzz_packets/$fault-pair"
  packet_seed 3 "${files[0]}" "${files[1]:-}" "$corpus/fuzz_packets/$fault-last-pair"
  packet_seed 14 "${files[0]}" "" "$corpus/fuzz_packets/$fault-single"
done

# Products of a small run, in both despike forms.
for form in YES NO; do
  run="$scratch/run-$form"
  mkdir -p "$run/work" "$run/out"
  "$build/tavo_l0sim" --out "$run/l0" --duration 30s --cadence 10s --size 16 --spike-rate 0.01 --seed 4 > /dev/null
  (cd "$run" && "$build/TAVO_L0" CONFIG=/dev/null INPUT_TYPE=HDF "INPUT_ROOT_DIRECTORY=$run/l0/" \
     INPUT_SUBDIRECTORY=FLAT "WORKING_DIRECTORY=$run/work/" H5DUMP_EXE=/usr/bin/h5dump \
     "OUTPUT_ROOT_DIRECTORY=$run/out/" DESPIKE=$form ISP_CSV=NO KITE=16 \
     START=2017/03/01t12:00:00 END=2017/03/01t12:00:59 > /dev/null)
  product=$(find "$run/out" -name '*.fits' | sort | head -1)
  flag=$([ $form = YES ] && echo 1 || echo 0)
  { printf "\\x0$flag"; cat "$product"; } > "$corpus/fuzz_despike/product-$form"
  { printf "\\x0$flag"; cat "$product"; } > "$corpus/fuzz_isp_row/product-$form"
  cp "$product" "$corpus/fuzz_quicklook_product/product-$form"
done

# A dark frame, pictured by its own percentiles.
run="$scratch/run-dark"
mkdir -p "$run/work" "$run/out"
"$build/tavo_l0sim" --out "$run/l0" --duration 60s --cadence 10s --size 32 --dark-every 2 --seed 5 > /dev/null
(cd "$run" && "$build/TAVO_L0" CONFIG=/dev/null INPUT_TYPE=HDF "INPUT_ROOT_DIRECTORY=$run/l0/" \
   INPUT_SUBDIRECTORY=FLAT "WORKING_DIRECTORY=$run/work/" H5DUMP_EXE=/usr/bin/h5dump \
   "OUTPUT_ROOT_DIRECTORY=$run/out/" DESPIKE=YES ISP_CSV=NO KITE=16 \
   START=2017/03/01t12:00:00 END=2017/03/01t12:00:59 > /dev/null)
cp "$(grep -la "FRAMETYPE = 'DARK" $(find "$run/out" -name '*.fits' | sort) | head -1)" \
   "$corpus/fuzz_quicklook_product/dark-32"

# The campaign's state files of one follow cycle: follow.json, the window's
# result.json, and its lease while the task holds it. Byte 0 names the file.
run="$scratch/follow"
mkdir -p "$run/products" "$run/work"
"$build/tavo_l0sim" --kite 16 --start 2017-03-01T11:59:58 --duration 20min --cadence 10s --size 64 --layout ordinal \
  --out "$run/l0" --seed 3 --fault missing-final@5 > /dev/null
printf 'INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=%s/l0/\nINPUT_SUBDIRECTORY=HIERARCHICAL\nWORKING_DIRECTORY=%s/work/\nH5DUMP_EXE=/usr/bin/h5dump\nOUTPUT_ROOT_DIRECTORY=%s/products/\nDESPIKE=YES\nISP_CSV=YES\nKITE=16\nSTART=2017/03/01t12:00:00\nEND=2017/03/01t12:15:00\n' \
  "$run" "$run" "$run" > "$run/base.cfg"
( while [ ! -e "$run/done" ]; do cp "$run"/camp/windows/0001/lease "$run/lease" 2> /dev/null || true; sleep 0.01; done ) &
watcher=$!
"$build/tavo_campaign" follow --dir "$run/camp" --config "$run/base.cfg" --once --lag 1ms --no-quicklook \
  --until 2017/03/01t12:15:00 --metrics "$run" > /dev/null
touch "$run/done"; wait "$watcher"
s="$corpus/fuzz_campaign_state"
{ printf '\x00'; cat "$run/camp/follow.json"; } > "$s/follow.json"
{ printf '\x02'; cat "$run/camp/windows/0001/result.json"; } > "$s/result.json"
[ ! -s "$run/lease" ] || { printf '\x01'; cat "$run/lease"; } > "$s/lease"
# The cycle's metrics file, for the mission page's reader.
cp "$run/tavo_l0_follow_k16.prom" "$corpus/fuzz_follower_metrics/follower_k16"

# The cycle's audit report for the catalog's reader, and the same report
# with an absent range between two of its written images.
r="$corpus/fuzz_catalog_report"
sed "s#$run/#/data/#g" "$run/camp/windows/0001/audit.json" > "$r/follow-window.json"
python3 - "$r/follow-window.json" "$r/absent-range.json" <<'PY'
import json, sys
report = json.load(open(sys.argv[1]))
a, b = [i for i in report["images"] if i["status"] == "written"][3:5]
report["absent_ranges"] = [{
    "first_id": a["image_id"] + 1, "last_id": a["image_id"] + 1, "images": 1,
    "after": {"image_id": a["image_id"], "time": a["time"]}, "before": {"image_id": b["image_id"], "time": b["time"]},
    "sequence_gaps": [{"apid": 810, "first": 100, "last": 104, "missing": 5, "after": a["time"], "before": b["time"]}]}]
json.dump(report, open(sys.argv[2], "w"), indent=1)
PY

# Parameters: a whole configuration file, then command-line arguments.
template="$top/config/TAVO_configuration.cfg.template"
filled() {  # root subdirectory start end
  sed -e "s|@INPUT_ROOT_DIRECTORY@|$1in/|" -e "s|@INPUT_SUBDIRECTORY@|$2|" -e "s|@WORKING_DIRECTORY@|$1work/|" \
      -e "s|@H5DUMP_EXE@|/usr/bin/h5dump|" -e "s|@OUTPUT_ROOT_DIRECTORY@|$1out/|" -e "s|@KITE@|16|" \
      -e "s|@START@|$3|" -e "s|@END@|$4|" "$template"
}
p="$corpus/fuzz_parameters"
{ filled / FLAT 2017/03/01t12:00:00 2017/03/01t12:59:59; printf '\0'; } > "$p/unix-flat"
{ filled 'C:\' HIERARCHICAL 2017/060t12 2017/061; printf '\0KITE=17\nDESPIKE=no'; } > "$p/windows-ordinal"
{ filled / FLAT 2017/03/01 2017/04/05; printf '\0START=2017/03/01t00:01\nEND=2017/02/28'; } > "$p/long-window"
{ printf 'INPUT_TYPE=APID\nKITE=20\nKITE=16\n"DESPIKE"=YES\n'; printf '\0--help'; } > "$p/bad-values"
{ printf '\0INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=\\\\server\\share\\\nOUTPUT_ROOT_DIRECTORY=C:/out\nSTART=2016/366t23:59:59'; } > "$p/command-line-only"
echo "seeds written to $corpus"
