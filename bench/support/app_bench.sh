# Sourced by the app benchmarks (bench/app_*_bench.sh): the measures they share. The log is $log.
now_ns() { echo $((${EPOCHREALTIME/./} * 1000)); }
# Whether the log holds the line at least n times.
log_reaches() { [[ $(grep -cF -- "$1" "$log" 2>/dev/null || true) -ge $2 ]]; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
in_ms() { awk -v ns="$1" 'BEGIN { printf "%.1f", ns / 1e6 }'; }
# User + system clock ticks of a process so far.
cpu_ticks() { cut -d')' -f2 "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
