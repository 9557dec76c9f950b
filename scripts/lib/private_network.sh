# Sourced by the scripts whose tests browse a private avahi-daemon (test, demo, mutants): runs the calling
# script (or one command) again in a network namespace of its own, with nothing but its loopback, so that
# the daemon and every client that browses it never meet another run's daemon, nor the machine's.
# As root `unshare --net`; any other user owns a user namespace for it (keeping its own uid, so
# the files it writes stay its own). Where even that is refused, the tests that need it are skipped
# (PELORIN_PRIVATE_NETWORK=none), loudly.

private_network_unshare() {  # the unshare command line for this user
  unshare=(unshare --net)
  [[ $(id -u) -eq 0 ]] || unshare=(unshare --user --map-current-user --keep-caps --net)
}

enter_private_network() {  # "$0" "$@": returns inside the namespace, or where none can be had
  case "${PELORIN_PRIVATE_NETWORK:-}" in
    entered) ip link set lo up && return 0 ;;
    none) return 0 ;;
  esac
  local unshare
  private_network_unshare
  if "${unshare[@]}" true 2>/dev/null; then
    PELORIN_PRIVATE_NETWORK=entered exec "${unshare[@]}" -- "$@"
  fi
  echo "== NO PRIVATE NETWORK: '${unshare[*]}' is refused here; receiver discovery is not tested" >&2
  export PELORIN_PRIVATE_NETWORK=none
}

in_private_network() {  # command...: runs it in a namespace of its own, if one can be had
  local unshare
  private_network_unshare
  "${unshare[@]}" true 2>/dev/null || { "$@"; return; }
  "${unshare[@]}" -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
}
