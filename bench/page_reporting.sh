# Free page reporting on virtual machines, for the benchmarks that source
# this file (bench/run_bench, bench/campaign_bench). The sourcing script
# defines log.
#
# A virtual machine that reports freed memory to its host pays a host page
# fault each time it touches such memory again; page cache that a run fills
# then costs several times more, and differently from one run to the next.
reporting_order=/sys/module/page_reporting/parameters/page_reporting_order
hold_page_reporting() {
    if [ ! -w "$reporting_order" ]; then
        echo "--hold-page-reporting needs root and a kernel that reports free pages ($reporting_order)" >&2
        exit 1
    fi
    saved_order=$(cat "$reporting_order")
    trap 'echo "$saved_order" >"$reporting_order"' EXIT
    echo 11 >"$reporting_order"  # above the largest page order: nothing is reported
    local touch_bytes
    touch_bytes=$(($(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) * 1024 - (2 << 30)))
    log "free page reporting held off; touching $((touch_bytes >> 20)) MiB of memory once"
    python3 -c 'import mmap, sys
n = int(sys.argv[1]) // 4096 * 4096
m = mmap.mmap(-1, n)
m[::4096] = b"\1" * (n // 4096)' "$touch_bytes"
}
# settle_page_reporting HOLD: holds reporting off when HOLD is 1; otherwise
# says when this machine reports freed memory, since its figures vary then.
settle_page_reporting() {
    if [ "$1" = 1 ]; then
        hold_page_reporting
    elif [ -r "$reporting_order" ] && [ "$(cat "$reporting_order")" -le 10 ]; then
        log "this machine reports freed memory to its host: writes cost more and vary; see --hold-page-reporting"
    fi
}
