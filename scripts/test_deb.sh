#!/usr/bin/env bash
# Tests the Debian package as an operator meets it: builds it (make package),
# checks it with lintian (no error, no warning), installs it with apt-get,
# checks the version line and the manual pages, runs the installed TAVO_L0
# on a simulated hour with the installed tavo_l0dump, compares that utility
# with h5dump, then removes the package and checks that none of its files is
# left but its configuration, and purges it and checks that this goes too.
#   scripts/test_deb.sh [BUILD_DIR]     (default: build-pkg; needs root)
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build-pkg}"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
package=tavo-l0
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300)
scratch="$(mktemp -d "${TMPDIR:-/tmp}/tavo_deb.XXXXXX")"
passed=0

installed() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; }
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { echo "FAILED: $*" >&2; echo "package: $passed passed, 1 failed"; exit 1; }

cleanup() {
  # A failed check must not leave the package on the machine.
  if [ "${we_installed:-0}" = 1 ]; then "${apt[@]}" purge "$package" >/dev/null 2>&1 || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] || fail "installing a package needs root"
echo "== Building the package in $build"
make -C "$top" --no-print-directory package PKG_BUILD="$build" > "$scratch/build.log" 2>&1 ||
  { tail -n 30 "$scratch/build.log" >&2; fail "make package"; }
debs=("$build"/${package}_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one ${package}_*.deb in $build, found: ${debs[*]}"
deb="${debs[0]}"
version="$(dpkg-deb -f "$deb" Version)"
[ "$(basename "$deb")" = "${package}_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package file $(basename "$deb") is not named with its version $version"
pass "built $(basename "$deb"), depends on: $(dpkg-deb -f "$deb" Depends)"
warnings="$(grep -c 'warning:' "$scratch/build.log" || true)"
if [ "$warnings" -gt 0 ]; then
  echo "note: the release build gave $warnings compiler warning(s), at:"
  # Each warning with the last line of ours that led to it (headers come after).
  awk -v top="$top/" 'index($0, top) { ours = $0 } /warning:/ { print "  " ours; print "  " $0 }' \
    "$scratch/build.log" | head -n 20
fi

# lintian with the severities Debian's archive rejects or warns of; the
# informational tags are shown, not counted.
command -v lintian > /dev/null || fail "lintian is not installed (scripts/install_packages.sh installs it)"
lint="$(lintian --display-info "$deb" 2>&1 | grep -v '^running with root privileges' || true)"
grep -q '^[EW]: ' <<<"$lint" && { echo "$lint" >&2; fail "lintian: $(grep -c '^E: ' <<<"$lint") errors, $(grep -c '^W: ' <<<"$lint") warnings"; }
pass "lintian: 0 errors, 0 warnings ($(grep -c '^I: ' <<<"$lint" || true) informational tags)"

# The test must not take away an operator's installation of another version.
if installed; then
  present="$(dpkg-query -W -f='${Version}' "$package")"
  [ "$present" = "$version" ] ||
    fail "$package $present is installed here; the test installs and removes $version: remove it first (apt-get remove $package)"
  echo "$package $version is installed already (left by an interrupted test?); removing it first"
  "${apt[@]}" remove "$package" >/dev/null
fi

echo "== Installing it with apt-get"
we_installed=1
"${apt[@]}" install "$deb" > "$scratch/install.log" 2>&1 || { cat "$scratch/install.log" >&2; fail "apt-get install $deb"; }
installed || fail "$package not installed after apt-get install"
[ "$(command -v TAVO_L0)" = /usr/bin/TAVO_L0 ] || fail "TAVO_L0 on the PATH is $(command -v TAVO_L0), not /usr/bin/TAVO_L0"
pass "installed"

line="$(cd "$scratch" && TAVO_L0 --version)"
# The package version is the version line's, with the build part that sorts after it.
[ "$line" = "TAVO_L0 Released Version ${version%%+*}" ] || fail "version line '$line' does not name the package version $version"
case "$version" in *+git[0-9]*.[0-9a-f]*) ;; *) fail "package version $version has no build part (+gitDATE.HASH)" ;; esac
pass "$line"

# Every installed program starts (its libraries resolve) and answers --help.
programs=($(dpkg -L "$package" | grep '^/usr/bin/.'))
for program in "${programs[@]}"; do
  (cd "$scratch" && "$program" --help > /dev/null 2>&1) || fail "$program --help"
done
pass "${#programs[@]} programs answer --help: ${programs[*]##*/}"

page="$(MANPAGER=cat MANWIDTH=100 man TAVO_L0 2>&1)" || fail "man TAVO_L0: $page"
for word in SYNOPSIS "EXIT STATUS" EXAMPLES INPUT_TYPE INPUT_ROOT_DIRECTORY INPUT_SUBDIRECTORY WORKING_DIRECTORY \
            H5DUMP_EXE OUTPUT_PRODUCT EVENT_OUTPUT OUTPUT_ROOT_DIRECTORY DESPIKE ISP_CSV KITE START END CONFIG \
            "TAVO_L0 ${version%%+*}"; do
  grep -q -- "$word" <<<"$page" || fail "man TAVO_L0 does not mention $word"
done
# Every kind of log line the run writes, as the sources spell its beginning
# ("DUMP WARNING - ..."), is listed among the page's FILES.
log_kinds="$(grep -rhoE '"[A-Z][A-Z ]* - ' "$top/src" | sed -e 's/^"//' -e 's/ $//' | sort -u)"
[ -n "$log_kinds" ] || fail "no log line found in $top/src"
while IFS= read -r kind; do
  grep -q -- "^ *$kind" <<<"$page" || fail "man TAVO_L0 does not list the log line '$kind'"
done <<<"$log_kinds"
pass "man TAVO_L0 shows the synopsis, the 14 parameters, the exit status, the examples and the $(wc -l <<<"$log_kinds") kinds of log line"

# lintian saw a page for every program; tavo_campaign's shows each subcommand.
for subcommand in plan run status finish follow task; do
  grep -q "tavo_campaign $subcommand\$" <<<"$(MANPAGER=cat man tavo_campaign)" ||
    fail "man tavo_campaign has no section of the subcommand $subcommand"
done
pass "man tavo_campaign shows its subcommands"

echo "== Running the installed programs on one simulated hour"
mkdir -p "$scratch/level0" "$scratch/work" "$scratch/products"
tavo_l0sim --kite 16 --start 2017-03-01T12:00:00 --duration 1h --cadence 30s --size 256 \
  --layout flat --seed 3 --out "$scratch/level0" > "$scratch/sim.log" 2>&1 ||
  { cat "$scratch/sim.log" >&2; fail "installed tavo_l0sim"; }
images="$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["images"]))' "$scratch/level0/manifest.json")"
template=/usr/share/doc/$package/examples/TAVO_configuration.cfg.template
sed -e "s|@INPUT_ROOT_DIRECTORY@|$scratch/level0|" -e "s|@INPUT_SUBDIRECTORY@|FLAT|" \
    -e "s|@WORKING_DIRECTORY@|$scratch/work|" -e "s|@H5DUMP_EXE@|/usr/bin/tavo_l0dump|" \
    -e "s|@OUTPUT_ROOT_DIRECTORY@|$scratch/products|" -e "s|@KITE@|16|" \
    -e "s|@START@|2017/03/01t12|" -e "s|@END@|2017/03/01t12|" \
    "$template" > "$scratch/TAVO_configuration.cfg" || fail "configuration template $template"
grep -q @ "$scratch/TAVO_configuration.cfg" && fail "placeholders left in the configuration from $template"
status=0
(cd "$scratch" && TAVO_L0 > console.txt) || status=$?
[ "$status" -eq 0 ] && [ "$(tail -n 1 "$scratch/console.txt")" = Completed ] ||
  { tail -n 5 "$scratch/console.txt" >&2; fail "installed TAVO_L0 exited $status"; }
products="$(find "$scratch/products/KITE-16" -name '*.fits' | wc -l)"
[ "$products" -eq "$images" ] || fail "$products products for $images simulated images"
find "$scratch/products/KITE-16/isp" -name '20170301.csv' | grep -q . || fail "no CSV table written"
pass "TAVO_L0 wrote $products products of $images images with /usr/bin/tavo_l0dump"

first="$(ls "$scratch"/level0/*.nc | head -n 1)"
tavo_l0dump -o "$scratch/l0dump.bin" -d tavo_space_packet_data -b BE "$first" || fail "installed tavo_l0dump on $first"
h5dump -o "$scratch/h5dump.bin" -d tavo_space_packet_data -b BE "$first" > /dev/null || fail "h5dump on $first"
cmp -s "$scratch/l0dump.bin" "$scratch/h5dump.bin" || fail "tavo_l0dump and h5dump differ on $first"
pass "the installed tavo_l0dump writes the bytes h5dump writes"

echo "== Removing it with apt-get"
dpkg -L "$package" > "$scratch/files.txt"
dpkg-query -W -f='${Conffiles}\n' "$package" | awk 'NF { print $1 }' > "$scratch/conffiles.txt"
[ -s "$scratch/conffiles.txt" ] || fail "the package has no conffiles (its example configuration is one)"
"${apt[@]}" remove "$package" > "$scratch/remove.log" 2>&1 || { cat "$scratch/remove.log" >&2; fail "apt-get remove"; }
state="$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)"
[ "$state" = "deinstall ok config-files" ] || fail "package state after removal: $state"
# The paths left: a directory may stay when another package owns it too
# (/usr/bin, /usr/share/man/man1).
left_behind() {
  while IFS= read -r path; do
    [ "$path" = /. ] && continue
    if [ -e "$path" ] && ! { [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; }; then echo "$path"; fi
  done < "$scratch/files.txt"
}
left="$(left_behind | grep -vxF -f "$scratch/conffiles.txt" | grep -vx /etc/tavo-l0 || true)"
[ -z "$left" ] || fail "left behind after removal: $left"
pass "removed; none of its $(wc -l < "$scratch/files.txt") paths is left but its configuration: $(tr '\n' ' ' < "$scratch/conffiles.txt")"

"${apt[@]}" purge "$package" > "$scratch/purge.log" 2>&1 || { cat "$scratch/purge.log" >&2; fail "apt-get purge"; }
state="$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)"
[ -z "$state" ] || [ "$state" = "unknown ok not-installed" ] || fail "package state after purge: $state"
left="$(left_behind)"
[ -z "$left" ] || fail "left behind after purge: $left"
pass "purged; nothing of it is left"
we_installed=0
echo "package: $passed passed, 0 failed"
