# Sourced by the scripts that start servers: is a loopback TCP port free, and who holds it.

# The holder of TCP port $1, as "NAME (pid N)", or "a process this user cannot see" when the
# socket's owner is hidden; nothing when no socket is bound to the port. Any socket counts, a
# client connection's too: a server cannot bind a port that an outgoing connection holds.
# Sockets in TIME-WAIT do not count (servers bind with SO_REUSEADDR).
port_holder() {
  local port=$1 line users
  if ! command -v ss >/dev/null 2>&1; then
    # Without ss only a listener can be seen: connect to it.
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "a listening process"; fi
    return 0
  fi
  line=$(ss -Htanp exclude time-wait "( sport = :$port )" 2>/dev/null | head -n 1)
  [[ -n "$line" ]] || return 0
  users='users:\(\("([^"]+)",pid=([0-9]+)'
  if [[ "$line" =~ $users ]]; then
    echo "${BASH_REMATCH[1]} (pid ${BASH_REMATCH[2]})"
  else
    echo "a process this user cannot see"
  fi
}

# Adds "port P (WHAT) is taken by HOLDER" to the array TAKEN_PORTS when port $1 is not free,
# unless its holder is the process of pid file $3 (the server itself, paused by a test).
note_if_taken() {
  local holder own
  holder=$(port_holder "$1")
  [[ -n "$holder" ]] || return 0
  if [[ -n "${3:-}" && -f "$3" ]]; then
    own=$(cat "$3" 2>/dev/null || true)
    [[ -n "$own" && "$holder" == *"(pid $own)" ]] && return 0
  fi
  TAKEN_PORTS+=("port $1 ($2) is taken by $holder")
}
