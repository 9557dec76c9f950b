# Sourced by the other scripts/lib files: waiting for a condition, and ending a daemon by the
# process id it left in a file.

wait_until() {  # seconds command...: polls every 0.1 s, quietly; says what it gave up on
  local tries=$(($1 * 10)) i
  shift
  for ((i = 0; i < tries; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "${BASH_SOURCE[1]##*/}: gave up waiting for: $*" >&2
  return 1
}

running() {  # pid: alive and not a zombie waiting for its parent
  [[ -r "/proc/$1/stat" ]] && [[ "$(cut -d')' -f2 "/proc/$1/stat" | cut -d' ' -f2)" != Z ]]
}

stopped() { ! running "$1"; }

stop_pid_file() {  # pid-file: the process, then up to 10 s for it to go before it is killed
  [[ -f "$1" ]] || return 0
  local pid
  pid=$(cat "$1")
  rm -f "$1"
  kill "$pid" 2>/dev/null || return 0
  # Not necessarily our child (a test may have restarted it): polled, and reaped when it is ours.
  wait_until 10 stopped "$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
