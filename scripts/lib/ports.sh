# Sourced by the scripts that start servers: is a loopback TCP port free, and who holds it.

# The holder of TCP port $1, as "NAME (pid N)", or "a process this user cannot see" for a
# listener whose owner is hidden; nothing when the port is free for a server. A listener holds
# the port, and so does a live process's connection that uses it as its own end (a client's
# local port: the server could not bind it). Sockets no process owns any more (the closing
# connections of a server that stopped) do not: servers bind with SO_REUSEADDR.
port_holder() {
  local port=$1 line state users='users:\(\("([^"]+)",pid=([0-9]+)'
  if ! command -v ss >/dev/null 2>&1; then
    # Without ss only a listener can be seen: connect to it.
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "a listening process"; fi
    return 0
  fi
  while IFS= read -r line; do
    state=${line%% *}
    if [[ "$line" =~ $users ]]; then
      echo "${BASH_REMATCH[1]} (pid ${BASH_REMATCH[2]})"
      return 0
    fi
    if [[ $state == LISTEN ]]; then
      echo "a process this user cannot see"
      return 0
    fi
  done < <(ss -Htanp exclude time-wait "( sport = :$port )" 2>/dev/null)
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
