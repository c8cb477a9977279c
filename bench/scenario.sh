# The benchmark scenario that bench/run_bench and bench/run_dump_bench
# measure, sourced by both: 1280x1280 images every 10 s from 2017-03-01
# 12:00:00, 6-minute files, flat layout, seed 7. The sourcing script sets
# build (the build directory) and defines log.

start_iso=2017-03-01T12:00:00
start_param=2017/03/01t12:00:00

# generate_inputs HOURS DIR: the scenario's level-0 files, reused when the
# simulator binary and its settings are unchanged.
generate_inputs() {
    local h=$1 dir=$2
    local args="--kite 16 --start $start_iso --duration ${h}h --cadence 10s --file-span 6min --size 1280 --layout flat --seed 7"
    local stamp
    stamp="$(sha256sum "$build/tavo_l0sim" | cut -d' ' -f1) $args"
    if [ -f "$dir/.stamp" ] && [ "$(cat "$dir/.stamp")" = "$stamp" ]; then
        log "inputs for $h h reused from $dir"
        return
    fi
    rm -rf "$dir"
    log "writing $h h of simulated telemetry to $dir"
    # shellcheck disable=SC2086
    "$build/tavo_l0sim" $args --out "$dir" >/dev/null
    printf '%s' "$stamp" >"$dir/.stamp"
}
