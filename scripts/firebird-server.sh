#!/usr/bin/env bash
# Starts or stops a Firebird 3 server on 127.0.0.1:3050 for the tests and the demo, without systemd.
#
#   scripts/firebird-server.sh start   # prints "started" when it started one, "running" when one
#                                      # was already listening (and then leaves it alone)
#   scripts/firebird-server.sh stop    # stops the server that "start" started
#
# SYSDBA's password is set to $QUIRADA_TEST_SYSDBA_PASSWORD (default "gizmor", the service's first
# password) before a server is started. Needs root (or sudo) and the Debian firebird3.0 packages.
set -euo pipefail

PASSWORD="${QUIRADA_TEST_SYSDBA_PASSWORD:-gizmor}"
STATE_DIR=/run/quirada-test
PID_FILE="$STATE_DIR/firebird.pid"
SECURITY_DB=/var/lib/firebird/3.0/system/security3.fdb
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
as_firebird() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u firebird -- "$@"; else sudo -u firebird "$@"; fi
}

listening() {
  (exec 3<>/dev/tcp/127.0.0.1/3050) 2>/dev/null
}

isql() { command -v isql-fb || echo /usr/bin/isql-fb; }

set_password() {
  # Embedded access to the security database works only while no server holds it.
  echo "CREATE OR ALTER USER SYSDBA PASSWORD '${PASSWORD}' USING PLUGIN Srp; COMMIT; QUIT;" |
    as_firebird env FIREBIRD_LOCK=/tmp/firebird "$(isql)" -q -user SYSDBA "$SECURITY_DB" >/dev/null
}

start() {
  if listening; then
    echo running
    return 0
  fi
  $SUDO mkdir -p "$STATE_DIR" /run/firebird3.0 /tmp/firebird
  $SUDO chown firebird:firebird /run/firebird3.0 /tmp/firebird
  set_password
  as_firebird /usr/sbin/firebird >/dev/null 2>&1 &
  echo $! | $SUDO tee "$PID_FILE" >/dev/null
  for _ in $(seq 1 100); do
    if listening; then
      echo started
      return 0
    fi
    sleep 0.1
  done
  echo "Firebird did not start listening on 127.0.0.1:3050" >&2
  return 1
}

stop() {
  [ -f "$PID_FILE" ] || return 0
  local pid
  pid=$(cat "$PID_FILE")
  # The PID recorded is sudo's or the server's; stop the server whichever it is.
  $SUDO pkill -TERM -f '^/usr/sbin/firebird' 2>/dev/null || true
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do
    listening || break
    sleep 0.1
  done
  $SUDO rm -f "$PID_FILE"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
