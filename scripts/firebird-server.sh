#!/usr/bin/env bash
# Starts or stops a Firebird 3 server on 127.0.0.1:3050 for the tests and the demo, without systemd.
#
#   scripts/firebird-server.sh start   # prints "started" when it started one, "running" when one
#                                      # was already listening (and then leaves it alone)
#   scripts/firebird-server.sh stop    # stops the server that "start" started, by its PID alone:
#                                      # no other Firebird server of the machine (an ERP's) is touched
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
  # The server's own PID (the shell that says it becomes the server), not that of runuser or sudo.
  local said="$STATE_DIR/firebird.pid.said"
  as_firebird sh -c 'echo $$; exec /usr/sbin/firebird >/dev/null 2>&1' | $SUDO tee "$said" >/dev/null &
  for _ in $(seq 1 100); do
    [ -s "$said" ] && break
    sleep 0.1
  done
  $SUDO mv -f "$said" "$PID_FILE"
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
  # Only that process, and only while it still is the Firebird server (a PID is reused).
  if [[ "$pid" =~ ^[0-9]+$ ]] && [ "$($SUDO readlink "/proc/$pid/exe" 2>/dev/null)" = /usr/sbin/firebird ]; then
    $SUDO kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      [ -e "/proc/$pid" ] || break
      sleep 0.1
    done
  fi
  $SUDO rm -f "$PID_FILE"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
