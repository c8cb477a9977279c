#!/usr/bin/env bash
# Demo: simulate a few hours of KITE-16 level-0 data with two faults (a
# dropped final packet, a file cut short), run TAVO_L0 on them with Debian's
# h5dump, summarise what it wrote, and let the audit, the day page and the
# catalog show what was lost.
#   scripts/demo.sh [BUILD_DIR]     (default: build)
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
demo="$top/demo"
hours="${DEMO_HOURS:-3}"
# The final packet of image 40 is never sent; the file holding image 67 ends
# in the middle of its packets, so the images after it in that file never
# reach the level-0.
faults=(--fault missing-final@40 --fault truncate@67)

rm -rf "$demo"
mkdir -p "$demo/level0" "$demo/work" "$demo/products"

# Uncompressed packet variables: writing and dumping them takes a third of the
# time of deflated ones, and TAVO_L0 reads both alike.
echo "== Simulating ${hours} h of KITE-16 level-0 data (1280x1280 images) into $demo/level0, with two faults: ${faults[*]}"
"$build/tavo_l0sim" --kite 16 --start 2017-03-01T12:00:00 --duration "${hours}h" \
  --cadence 60s --file-span 6min --size 1280 --layout flat --seed 7 --deflate 0 "${faults[@]}" \
  --out "$demo/level0" --manifest "$demo/manifest.json"

end_hour=$((12 + hours - 1))
sed -e "s|@INPUT_ROOT_DIRECTORY@|$demo/level0|" \
    -e "s|@INPUT_SUBDIRECTORY@|FLAT|" \
    -e "s|@WORKING_DIRECTORY@|$demo/work|" \
    -e "s|@H5DUMP_EXE@|$build/tavo_l0dump|" \
    -e "s|@OUTPUT_ROOT_DIRECTORY@|$demo/products|" \
    -e "s|@KITE@|16|" \
    -e "s|@START@|2017/03/01t12:00:00|" \
    -e "s|@END@|2017/03/01t$(printf %02d "$end_hour"):59:59|" \
    "$top/config/TAVO_configuration.cfg.template" > "$demo/TAVO_configuration.cfg"

echo "== Running TAVO_L0 with $demo/TAVO_configuration.cfg"
status=0
(cd "$demo" && "$build/TAVO_L0") > "$demo/console.txt" || status=$?
tail -n 3 "$demo/console.txt"

products=$(find "$demo/products" -name '*.fits' | wc -l)
csvs=$(find "$demo/products" -path '*/isp/*' -name '*.csv' | sort)
verdicts=$(find "$demo/products" -name '*.fits' -exec fitsverify -q {} \; 2>/dev/null | sed 's/.*fits, //' | sort | uniq -c)
echo
echo "== Summary"
echo "exit status:   $status"
echo "products:      $products FITS files under $demo/products/KITE-16/"
echo "fitsverify:    $verdicts  (the 2 errors are the DATE_OBS card, kept as the archive expects)"
echo "CSV tables:    ${csvs:-none}"
echo "log file(s):   $(ls "$demo"/products/LOG/*.log 2>/dev/null | tr '\n' ' ')"
echo "console:       $demo/console.txt"
echo "configuration: $demo/TAVO_configuration.cfg (copy it to run on your own data)"

if [ -x "$build/tavo_l0audit" ]; then
  echo
  echo "== Every image of the window accounted for (tavo_l0audit; exit status 1: images were lost, as injected)"
  audit_status=0
  "$build/tavo_l0audit" CONFIG="$demo/TAVO_configuration.cfg" || audit_status=$?
  [ "$audit_status" -le 1 ] || status=$audit_status
fi

if [ -x "$build/tavo_catalog" ]; then
  echo
  echo "== The mission catalog (tavo_catalog, $demo/catalog.sqlite)"
  catalog=("$build/tavo_catalog" --db "$demo/catalog.sqlite")
  catalog_status=0
  { "${catalog[@]}" ingest "$demo"/products/KITE-16/audit/*.json &&
    echo "-- tavo_catalog summary: completeness per passband" &&
    "${catalog[@]}" summary --from 2017-03-01 --to 2017-03-01 &&
    echo "-- tavo_catalog replay: the packet ranges to ask the ground station for again ($demo/replay.csv)" &&
    "${catalog[@]}" replay --from 2017-03-01 --to 2017-03-01 --csv | tee "$demo/replay.csv"; } || catalog_status=$?
  [ "$catalog_status" -eq 0 ] || status=$catalog_status
fi

day_page=""
if [ -x "$build/tavo_quicklook" ]; then
  echo
  echo "== Pictures, movies and the day's page (tavo_quicklook)"
  quicklook_status=0
  "$build/tavo_quicklook" CONFIG="$demo/TAVO_configuration.cfg" > "$demo/quicklook.txt" || quicklook_status=$?
  head -n 1 "$demo/quicklook.txt"
  [ "$quicklook_status" -eq 0 ] || status=$quicklook_status
  day_page="$(tail -n 1 "$demo/quicklook.txt")"
fi

# The mission page links each day to its quicklook page, so it comes after it.
if [ -x "$build/tavo_catalog" ]; then
  "$build/tavo_catalog" --db "$demo/catalog.sqlite" page --from 2017-02-27 --to 2017-03-05 \
    --out "$demo/mission" > "$demo/mission.txt" || status=$?
  echo "mission page:  $(cat "$demo/mission.txt")"
fi
[ -z "$day_page" ] || echo "page:          $day_page (the lost and absent images are marked on its timeline)"
exit "$status"
