#!/usr/bin/env bash
# Tests the follow service as an administrator meets it, under a real
# systemd: boots Debian bookworm in a container (debootstrap into a fresh
# temporary directory, systemd-nspawn), installs the package there with the
# README's commands, follows data made by the package's own tavo_l0sim, and
# checks that the service
#   starts from the installed programs, as the user tavo-l0, confined
#     (systemd-analyze verify and security), writing products it owns;
#   fails at once and visibly on a configuration it cannot use;
#   on stop completes the window in progress and ends inactive, not failed,
#     and on start resumes without redoing work;
#   is stopped by removing the package, and that purging it leaves nothing
#     behind but the configurations in /etc/tavo-l0 and the products.
# Every administrator's command it runs must appear in README.md as it is
# typed there. The container's packages come from the bookworm mirror of
# this machine's apt sources. Where the machine cannot boot a container the
# test says why in one line and passes.
#   scripts/test_service.sh [BUILD_DIR]     (default: build-pkg; needs root)
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build-pkg}"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
package=tavo-l0
unit=tavo-l0-follow@k16.service
campaign=/var/lib/tavo-l0/k16/campaign
products=/srv/tavo-l0/k16
passed=0

pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { echo "FAILED: $*" >&2; echo "service: $passed passed, 1 failed"; exit 1; }
skip() { echo "service: skipped: $*"; exit 0; }
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
for tool in debootstrap systemd-nspawn nsenter; do
  command -v "$tool" > /dev/null || skip "$tool is not installed (scripts/install_packages.sh installs it)"
done
# The bookworm suites this machine installs from, for the container too.
sources="$(apt-get indextargets --no-release-info --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT)' |
  awk '$1 == "deb" && $3 ~ /^bookworm(-|$)/ { print "deb", $2, $3, $4 }' | sort -u)"
mirror="$(awk '$3 == "bookworm" { print $2; exit }' <<<"$sources")"
[ -n "$mirror" ] || skip "no Debian bookworm mirror in this machine's apt sources"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tavo_service.XXXXXX")"
root="$scratch/root"
nspawn=""
cleanup() {
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2> /dev/null; then
    kill -TERM "$nspawn"  # the container's systemd shuts down
    for _ in $(seq 600); do kill -0 "$nspawn" 2> /dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn" 2> /dev/null || true
    wait "$nspawn" 2> /dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== Building the package in $build"
make -C "$top" --no-print-directory package PKG_BUILD="$build" > "$scratch/build.log" 2>&1 ||
  { tail -n 30 "$scratch/build.log" >&2; fail "make package"; }
debs=("$build"/${package}_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one ${package}_*.deb in $build, found: ${debs[*]}"

echo "== Debian bookworm from $mirror into a container"
proxy=""
eval "$(apt-config shell proxy Acquire::http::Proxy)"
[ -z "$proxy" ] || export http_proxy="$proxy"
debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$root" "$mirror" \
  > "$scratch/debootstrap.log" 2>&1 ||
  { tail -n 5 "$scratch/debootstrap.log"; skip "debootstrap from $mirror failed (above)"; }
echo "$sources" > "$root/etc/apt/sources.list"
[ -z "$proxy" ] || echo "Acquire::http::Proxy \"$proxy\";" > "$root/etc/apt/apt.conf.d/proxy"
# The administrator's "yes" at apt-get's prompts.
echo 'APT::Get::Assume-Yes "true";' > "$root/etc/apt/apt.conf.d/assume-yes"
mkdir -p "$root/root/build-pkg"
cp "${debs[0]}" "$root/root/build-pkg/"

systemd-nspawn -D "$root" --boot --register=no --keep-unit --console=pipe \
  < /dev/null > "$scratch/console.log" 2>&1 &
nspawn=$!
init=""
for _ in $(seq 300); do
  init="$(cat "/proc/$nspawn/task/$nspawn/children" 2> /dev/null || true)"
  init="${init%% *}"
  [ -n "$init" ] && nsenter -t "$init" -a true 2> /dev/null && break
  kill -0 "$nspawn" 2> /dev/null || break
  init=""
  sleep 0.1
done
[ -n "$init" ] || { tail -n 5 "$scratch/console.log"; skip "systemd-nspawn could not start a container here (above)"; }

# A command in the container, as root in its login environment.
inside() {
  nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C \
    DEBIAN_FRONTEND=noninteractive "$@" < /dev/null
}
# Until the container's systemd answers on its bus, then until it has booted.
booted=""
for _ in $(seq 600); do
  booted="$(inside systemctl is-system-running --wait 2>&1 || true)"
  [[ "$booted" =~ ^(running|degraded|maintenance|stopping|offline)$ ]] && break
  kill -0 "$nspawn" 2> /dev/null || break
  sleep 0.2
done
case "$booted" in
  running | degraded) ;;
  *) tail -n 5 "$scratch/console.log"; skip "systemd did not boot in the container: '$booted'" ;;
esac
# sudo looks up the host's name.
inside bash -c 'echo "127.0.1.1 $(hostname)" >> /etc/hosts'
pass "container booted ($(inside systemctl --version | head -n 1)), packages from $mirror"

# An administrator's command of the README, run as typed there.
admin() {
  grep -qF -- "$1" "$top/README.md" || fail "README.md does not show the command: $1"
  inside bash -c "cd /root && $1"
}
# Waits until the command succeeds (at most 5 minutes: a hung service fails the test).
wait_until() {
  local what="$1"
  shift
  for _ in $(seq 3000); do
    "$@" && return 0
    sleep 0.1
  done
  fail "gave up waiting: $what"
}
property() { inside systemctl show -p "$2" --value "$1"; }
unit_state_is() { [ "$(property "$1" ActiveState)" = "$2" ]; }
unit_ended() { [[ ! "$(property "$1" ActiveState)" =~ ^(activating|active|deactivating|reloading)$ ]]; }
# The PIDs of the container's processes running PROGRAM, or of USER.
pids_of() { inside pidof "$1" || true; }
signal() { inside bash -c 'kill "$1" "$2"' _ "$1" "$2"; }
processes_of_user() {
  inside bash -c 'for p in /proc/[0-9]*; do [ "$(stat -c %U "$p" 2> /dev/null)" = "$1" ] && echo "${p#/proc/} $(cat "$p/comm")"; done; true' \
    _ "$1"
}
# The products with inode and modification time: a product written again shows.
product_list() { inside find "$products" -name '*.fits' -printf '%i %T@ %u %m %P\n' | LC_ALL=C sort; }
journal() { inside journalctl -q -o cat --no-pager -u "$1"; }

echo "== Installing the package"
inside apt-get update -qq > "$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; fail "apt-get update in the container"; }
# What it depends on and recommends first (with sudo and man, as on an
# administrator's machine), so that the snapshot below holds everything but
# the package.
inside apt-get install -y -qq --no-install-recommends sudo man-db > "$scratch/apt.log" 2>&1 &&
  inside apt-get satisfy -y -qq --no-install-recommends \
    "$(dpkg-deb -f "${debs[0]}" Depends), $(dpkg-deb -f "${debs[0]}" Recommends)" >> "$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log" >&2; fail "installing the package's dependencies in the container"; }
snapshot() {
  inside find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /var/tmp \
    -o -path /var/log -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /root \) -prune \
    -o -print | LC_ALL=C sort
}
snapshot > "$scratch/before.txt"
admin "sudo apt-get install ./build-pkg/tavo-l0_*.deb" > "$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log" >&2; fail "apt-get install of the package"; }
version="$(inside dpkg-query -W -f='${Version}' "$package")"
line="$(admin "TAVO_L0 --version; man TAVO_L0" 2>&1)" || fail "TAVO_L0 --version; man TAVO_L0: $line"
grep -q "^TAVO_L0 Released Version ${version%%+*}$" <<<"$line" || fail "no version line in: ${line:0:200}"
grep -q "DUMP WARNING" <<<"$line" || fail "man TAVO_L0 in the container does not list the DUMP WARNING line"
pass "installed $package $version; TAVO_L0 --version and man TAVO_L0 answer"

account="$(inside getent passwd tavo-l0)" || fail "no user tavo-l0 after install"
IFS=: read -r _ _ uid gid _ home shell <<<"$account"
[ "$uid" -gt 0 ] && [ "$uid" -lt 1000 ] && [ "$shell" = /usr/sbin/nologin ] ||
  fail "tavo-l0 is not a system user without login: $account"
[ "$(inside getent group tavo-l0 | cut -d: -f3)" = "$gid" ] || fail "no group tavo-l0 of the user's own"
pass "system user tavo-l0 ($uid:$gid, home $home, shell $shell)"

verify="$(inside systemd-analyze verify "$unit" 2>&1)" || fail "systemd-analyze verify $unit: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify $unit says: $verify"
exec_start="$(inside systemctl cat "$unit" | sed -n 's/^ExecStart=\([^ ]*\).*/\1/p')"
[ "$exec_start" = "$(inside dpkg -L "$package" | grep '/tavo_campaign$')" ] ||
  fail "ExecStart runs $exec_start, not the installed tavo_campaign"
security="$(inside systemd-analyze security --offline=true --no-pager "$unit" 2>&1 | grep 'Overall exposure level')" ||
  fail "systemd-analyze security --offline=true gave no rating"
exposure="$(sed -n 's/.*: \([0-9.]*\) .*/\1/p' <<<"$security")"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "$security (more than 2.0)"
pass "systemd-analyze verify passes; ExecStart $exec_start; systemd-analyze security: exposure $exposure"

echo "== Simulated data and their configuration"
inside tavo_l0sim --kite 16 --start 2017-03-01T12:00:00 --duration 3h --size 256 --layout flat --seed 3 \
  --out /srv/level0/k16 > "$scratch/sim.log" 2>&1 || { cat "$scratch/sim.log" >&2; fail "tavo_l0sim in the container"; }
# Landed a while ago: every file settled at the follower's first look, so
# its first window is a whole one, not one of a series taken as files settle.
inside find /srv/level0/k16 -name '*.nc' -exec touch -d '1 minute ago' {} + || fail "dating the simulated files"
images="$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["images"]))' \
  "$root/srv/level0/k16/manifest.json")"
admin "sudo install -d -o tavo-l0 -g tavo-l0 /srv/tavo-l0/k16" || fail "creating the product root"
admin "sudo cp /etc/tavo-l0/follow.cfg.example /etc/tavo-l0/k16.cfg" || fail "copying the example configuration"
grep -qF "sudoedit /etc/tavo-l0/k16.cfg" "$top/README.md" || fail "README.md does not show: sudoedit /etc/tavo-l0/k16.cfg"
# What the administrator edits: the example's input directory is where the
# data are; START becomes their first hour.
inside sed -i -e 's|^START=.*|START=2017/03/01t12|' /etc/tavo-l0/k16.cfg
echo "== A configuration the service cannot use: the same with the satellite wrong"
inside bash -c 'sed -e "s|^KITE=.*|KITE=20|" /etc/tavo-l0/k16.cfg > /etc/tavo-l0/broken.cfg'
broken="tavo-l0-follow@broken.service"
inside systemctl start --no-block "$broken"
wait_until "$broken to end" unit_ended "$broken"
states="$(property "$broken" ActiveState) $(property "$broken" Result) $(property "$broken" ExecMainStatus) $(property "$broken" NRestarts)"
[ "$states" = "failed exit-code 2 0" ] ||
  fail "broken configuration: ActiveState Result ExecMainStatus NRestarts are '$states', not 'failed exit-code 2 0'"
reason="$(journal "$broken" | grep '^tavo_campaign: .*KITE')" ||
  fail "no line in the journal says that KITE is wrong: $(journal "$broken" | tail -n 3)"
pass "$broken failed at once without a restart: journal: $reason"
inside systemctl reset-failed "$broken"

echo "== Following the data"
admin "sudo systemctl enable --now $unit" > /dev/null 2>&1 || fail "systemctl enable --now $unit"
tavo_l0=""
find_tavo_l0() { tavo_l0="$(pids_of TAVO_L0)"; [ -n "$tavo_l0" ]; }
wait_until "TAVO_L0 running for $unit" find_tavo_l0
tavo_l0="${tavo_l0%% *}"
signal -STOP "$tavo_l0"
main="$(property "$unit" MainPID)"
[ "$main" -gt 0 ] || fail "$unit has no main process"
owner="$(inside awk '/^Uid:/ { print $2 $3 $4 $5 }' "/proc/$main/status")"
[ "$owner" = "$uid$uid$uid$uid" ] || fail "main process $main runs with uids $owner, not tavo-l0's $uid"
[ "$(inside stat -c %U "/proc/$tavo_l0")" = tavo-l0 ] || fail "TAVO_L0 ($tavo_l0) does not run as tavo-l0"
window_dir="$(inside cat "/proc/$tavo_l0/cmdline" | tr '\0' '\n' | sed -n 's|^CONFIG=.*/windows/\([0-9]*\)/.*|\1|p')"
[ -n "$window_dir" ] || fail "no window directory in TAVO_L0's command line"
window=$((10#$window_dir))
pass "$unit runs as tavo-l0 (main process $main); TAVO_L0 ($tavo_l0) working on window $window"

echo "== Stopping in the middle of window $window"
inside systemctl stop --no-block "$unit"
unit_stopping() { ! unit_state_is "$unit" active; }
wait_until "$unit to begin stopping" unit_stopping
unit_state_is "$unit" deactivating && signal -0 "$main" ||
  fail "the stop did not wait for window $window: $(journal "$unit" | tail -n 3)"
signal -CONT "$tavo_l0"
wait_until "$unit to stop" unit_ended "$unit"
states="$(property "$unit" ActiveState) $(property "$unit" Result) $(property "$unit" ExecMainStatus)"
[ "$states" = "inactive success 0" ] || fail "after stop: ActiveState Result ExecMainStatus are '$states'"
inside grep -q '"exit_status": 0' "$campaign/windows/$window_dir/result.json" || fail "window $window did not complete"
journal "$unit" | grep -q "stopped on a signal" || fail "the follower did not log its stop"
product_list > "$scratch/stopped.txt"
count="$(wc -l < "$scratch/stopped.txt")"
[ "$count" -gt 0 ] || fail "no products in $products"
others="$(awk '$3 != "tavo-l0" || $4 != 640' "$scratch/stopped.txt" | head -n 3)"
[ -z "$others" ] || fail "products not owned by tavo-l0 with mode 640: $others"
mark="$(inside sed -n 's/^ "mark": "\(.*\)",$/\1/p' "$campaign/follow.json")"
[ "$mark" = "$(inside sed -n 's/^ "end": "\(.*\)",$/\1/p' "$campaign/windows/$window_dir/result.json")" ] ||
  fail "the mark $mark is not the end of window $window"
pass "stop completed window $window ($count products of tavo-l0, mode 640, processed to $mark); unit inactive, not failed"

cycles() { inside sed -n 's/^ "cycles": \([0-9]*\),$/\1/p' "$campaign/follow.json"; }
before="$(cycles)"
cycled() { [ "$(cycles)" -gt "$before" ]; }
inside systemctl start "$unit"
wait_until "a cycle after the restart" cycled
# The restarted follower's own lines.
restart_log="$(inside journalctl -q -o cat --no-pager _SYSTEMD_INVOCATION_ID="$(property "$unit" InvocationID)")"
grep -q "from $mark " <<<"$restart_log" || fail "the restart did not resume from $mark: $restart_log"
! grep -q "re-run\|^[0-9/: ]* window $window " <<<"$restart_log" || fail "the restart redid window $window: $restart_log"
# The follower takes each file as it settles, so the restart may find the
# newest files still settling: it goes on until every image is a product.
every_image_a_product() { [ "$(product_list | wc -l)" -eq "$images" ]; }
wait_until "every image a product after the restart" every_image_a_product
product_list > "$scratch/restarted.txt"
rewritten="$(LC_ALL=C comm -23 "$scratch/stopped.txt" "$scratch/restarted.txt" | head -n 3)"
[ -z "$rewritten" ] || fail "products written again after the restart: $rewritten"
[ "$(wc -l < "$scratch/restarted.txt")" -eq "$images" ] ||
  fail "$(wc -l < "$scratch/restarted.txt") products for $images simulated images"
pass "restart resumed from $mark without redoing window $window; all $images images are products"
status="$(admin "sudo -u tavo-l0 tavo_campaign status --dir $campaign" 2>&1)" || fail "tavo_campaign status: $status"
grep -q "^follow: processed to" <<<"$status" || fail "tavo_campaign status shows no follow state: $status"
pass "sudo -u tavo-l0 tavo_campaign status: $(grep '^follow:' <<<"$status")"

echo "== Installing the package again, as an upgrade does"
main="$(property "$unit" MainPID)"
inside apt-get install -qq --reinstall "/root/build-pkg/${debs[0]##*/}" > "$scratch/reinstall.log" 2>&1 ||
  { cat "$scratch/reinstall.log" >&2; fail "apt-get install --reinstall"; }
unit_state_is "$unit" active || fail "$unit is $(property "$unit" ActiveState) after the upgrade"
[ "$(property "$unit" MainPID)" != "$main" ] || fail "the upgrade did not restart $unit"
[ "$(journal "$unit" | grep -c "following .* from $mark ")" -eq 2 ] || fail "the restarted follower did not resume from $mark"
pass "the upgrade restarted $unit (main process $main, now $(property "$unit" MainPID)), resuming from $mark"

echo "== Removing and purging the package"
admin "sudo apt-get remove tavo-l0" > "$scratch/remove.log" 2>&1 || { cat "$scratch/remove.log" >&2; fail "apt-get remove"; }
! inside systemctl -q is-active "$unit" || fail "$unit still active after removal"
left="$(processes_of_user tavo-l0)"
[ -z "$left" ] || fail "processes of tavo-l0 left after removal: $left"
inside test ! -e "$exec_start" || fail "$exec_start left after removal"
pass "apt-get remove stopped $unit; no process of tavo-l0 is left"

admin "sudo apt-get purge tavo-l0" > "$scratch/purge.log" 2>&1 || { cat "$scratch/purge.log" >&2; fail "apt-get purge"; }
inside test ! -e /var/lib/tavo-l0 || fail "/var/lib/tavo-l0 left after purge"
inside test -f /etc/tavo-l0/k16.cfg || fail "the purge removed /etc/tavo-l0/k16.cfg"
product_list > "$scratch/purged.txt"
cmp -s "$scratch/restarted.txt" "$scratch/purged.txt" || fail "the purge changed the products"
# Everything else is as before the install: the configurations and the
# products stay, and the user's entries (with the backups of the files
# that hold them).
snapshot > "$scratch/after.txt"
added="$(LC_ALL=C comm -13 "$scratch/before.txt" "$scratch/after.txt" |
  grep -Ev '^/etc/tavo-l0(/[^/]*\.cfg)?$|^/srv(/|$)|^/etc/(passwd|group|shadow|gshadow)-$' || true)"
[ -z "$added" ] || fail "left behind after purge: $(head -n 5 <<<"$added")"
pass "apt-get purge removed /var/lib/tavo-l0 and left only /etc/tavo-l0/*.cfg and the $images products"

echo "service: $passed passed, 0 failed"
