#!/usr/bin/env bash
# The Windows service end to end under Wine: the installer, the service control manager, the real
# Firebird server and the local platform over TLS.
#
#   scripts/windows-smoke.sh        # after scripts/build-windows.sh; Debian 12, as root
#
# Needs: build-windows/QuiradaContabil-setup.exe and build-windows/testing/windows/service_control.exe
# (QUIRADA_WINDOWS_BUILD_DIR=... for another folder), the Linux local platform
# build-test/quirada-local-platform (QUIRADA_LOCAL_PLATFORM=... for another), isql-fb and the
# Firebird 3 server on 127.0.0.1:3050 with SYSDBA's password "gizmor" (scripts/firebird-server.sh
# start), and Wine. The Windows Firebird client comes from testing/windows/.
#
# What it does, each step under a time limit:
#   1. the installer, silently: the program, the example Morvant.ini (CR LF), the uninstaller and
#      its entry; the service registered as the system runs it, stopped;
#   2. fbclient.dll and firebird.msg beside the program, a Morvant.ini for a new test database
#      (settings, two documents dated today) and the local platform (its CA as a Z:\ path);
#   3. "sc start": RUNNING, and the first cycle uploads and records both documents (register rows
#      and the platform's journal);
#   4. pause: PAUSED, and a document added meanwhile is still sent and recorded; continue: RUNNING;
#   5. six more documents and "sc stop" while the cycle sends them: the stop is acknowledged at
#      once, the cycle ends within seconds (an exchange in progress is cut: at most the document in
#      hand was accepted without its register row, and the backlog was cut), STOPPED with exit
#      code 0;
#   6. the uninstaller, silently: service, program, uninstaller and entry gone, Morvant.ini kept;
#   7. again without fbclient.dll (the kept Morvant.ini is not replaced by the installer): the
#      cycle's line in QuiradaContabil.log says the Firebird client is missing and how to install
#      it; stop; uninstall.
# It runs in a Wine prefix of its own ($QUIRADA_WINEPREFIX when set), made on the first run and
# kept; it leaves no service or program behind in it and stops its wineserver at the end (a
# prefix given in QUIRADA_WINEPREFIX keeps its wineserver running). Exit status 0 when every step
# passed; otherwise 1 and a line saying which check failed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

BUILD_DIR="${QUIRADA_WINDOWS_BUILD_DIR:-$ROOT/build-windows}"
PLATFORM_EXE="${QUIRADA_LOCAL_PLATFORM:-$ROOT/build-test/quirada-local-platform}"
SETUP="$BUILD_DIR/QuiradaContabil-setup.exe"
CONTROL="$BUILD_DIR/testing/windows/service_control.exe"
FB_CLIENT_DIR="$ROOT/testing/windows"
WORK=/var/tmp/quirada-windows-smoke   # the firebird user must reach the database folder
DB_PATH="$WORK/db/SMOKE.FDB"
DB="127.0.0.1/3050:$DB_PATH"
PLATFORM_DIR="$WORK/platform"
PASSWORD=gizmor
SERVICE=SrvQuirada
INTERVAL=2  # IntervaloSegundos
# Every answer of the platform comes this much later, so that a stop arrives while the cycle
# still has documents to send.
ANSWER_DELAY_MS=300

START=$SECONDS
step() { printf '\n=== [%3d s] %s\n' "$((SECONDS - START))" "$*"; }
note() { printf '    %s\n' "$*"; }
fail() {
  echo "windows-smoke: FAILED: $*" >&2
  exit 1
}

for f in "$SETUP" "$CONTROL" "$PLATFORM_EXE" "$FB_CLIENT_DIR/fbclient.dll" "$FB_CLIENT_DIR/firebird.msg"; do
  [ -f "$f" ] || fail "$f is missing (scripts/build-windows.sh builds the Windows side; the test build the local platform)"
done
# The client files are what testing/windows/README.md says they are (not, say, a Git LFS pointer).
(cd "$FB_CLIENT_DIR" && grep -E '^ +[0-9a-f]{64}  (fbclient\.dll|firebird\.msg)$' README.md |
  sed 's/^ *//' | sha256sum --quiet -c -) || fail "testing/windows/fbclient.dll or firebird.msg differs from its SHA-256 in README.md"
command -v isql-fb >/dev/null || fail "isql-fb is missing (scripts/install-deps.sh)"
command -v python3 >/dev/null || fail "python3 is missing"
(exec 3<>/dev/tcp/127.0.0.1/3050) 2>/dev/null ||
  fail "no Firebird server on 127.0.0.1:3050 (scripts/firebird-server.sh start)"

# --- Wine ------------------------------------------------------------------------------------------

OWN_PREFIX=no
if [ -z "${QUIRADA_WINEPREFIX:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    QUIRADA_WINEPREFIX=/var/cache/quirada-wine/smoke-prefix
  else
    QUIRADA_WINEPREFIX="${XDG_CACHE_HOME:-$HOME/.cache}/quirada-wine/smoke-prefix"
  fi
  OWN_PREFIX=yes
fi
export QUIRADA_WINEPREFIX
step "Wine prefix $QUIRADA_WINEPREFIX"
# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh || fail "Wine could not be set up"

# The service control managers of the prefix: exactly one may answer (a prefix just made may come
# up with two, each with a database of its own, and a service created in one is unknown to the
# other); a new wineserver starts just one.
service_managers() {
  local pid count=0
  for pid in $(pgrep -f 'services\.exe' || true); do
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && count=$((count + 1))
  done
  echo "$count"
}
if [ "$(service_managers)" -gt 1 ]; then
  note "$(service_managers) service control managers run in the prefix: restarting its wineserver"
  quirada_wine_stop
  quirada_wine_start || fail "Wine could not be set up again"
fi
[ "$(service_managers)" -le 1 ] || fail "the prefix runs $(service_managers) service control managers, not 1"

INSTDIR="$WINEPREFIX/drive_c/Program Files/Quirada Contabil"
INSTDIR_WIN='C:\Program Files\Quirada Contabil'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuiradaContabil'

# wine with a time limit; what the program writes loses its CR.
w() {
  local limit=$1
  shift
  timeout --kill-after=5 "$limit" wine "$@" | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
control() { w 150 "$CONTROL" "$@"; }
state() { control status "$SERVICE"; }
isql() { timeout 60 isql-fb -q -b -user SYSDBA -password "$PASSWORD" "$@"; }
register_rows() {
  printf '%s\n' "SET HEADING OFF;" "SELECT COUNT(*) FROM QUIRADA_ENVIOS_XML;" | isql "$DB" | tr -d ' \n'
}
# Uploads the platform accepted (2xx), counted by document file.
accepted_uploads() {
  [ -f "$PLATFORM_DIR/journal.jsonl" ] || { echo 0; return; }
  python3 - "$PLATFORM_DIR/journal.jsonl" <<'EOF'
import json, sys
files = set()
for line in open(sys.argv[1], encoding="utf-8"):
    j = json.loads(line)
    if "file" in j and 200 <= j["status"] < 300:
        files.add(j["file"])
print(len(files))
EOF
}
# Polls `condition` (a shell command) every half second for at most `limit` seconds.
wait_for() {
  local limit=$1 what=$2
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.5
  done
  note "$what after $((SECONDS - START)) s"
}
rows_are() { [ "$(register_rows)" = "$1" ]; }
uploads_are() { [ "$(accepted_uploads)" = "$1" ]; }
uploads_at_least() { [ "$(accepted_uploads)" -ge "$1" ]; }
state_is() { state | grep -q "^state=$1\( \|$\)"; }

# Stops and removes the service; false when it stays registered.
remove_service() {
  state_is MISSING && return 0
  w 60 sc stop "$SERVICE" >/dev/null 2>&1
  control wait "$SERVICE" STOPPED 60 >/dev/null 2>&1
  w 60 sc delete "$SERVICE" >/dev/null 2>&1
  control wait "$SERVICE" MISSING 10 >/dev/null 2>&1 && return 0
  # A service whose process never ended stays registered: its registry key goes now, so that the
  # end of the wineserver takes the rest along.
  w 60 reg delete "HKLM\\System\\CurrentControlSet\\Services\\$SERVICE" /f >/dev/null 2>&1
  return 1
}

platform_pid=""
db_created=no
touched=no  # whether the prefix holds something of this run's to remove
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$?
  set +e
  if [ "$status" -ne 0 ] && [ -n "$platform_pid" ]; then
    echo "--- QuiradaContabil.log" >&2
    [ -f "$INSTDIR/QuiradaContabil.log" ] && iconv -f CP1252 -t UTF-8 "$INSTDIR/QuiradaContabil.log" | tr -d '\r' | tail -n 20 >&2
    echo "--- the platform's journal" >&2
    tail -n 20 "$PLATFORM_DIR/journal.jsonl" >&2 2>/dev/null
  fi
  if [ "$touched" = yes ]; then
    remove_service
    rm -rf "$INSTDIR"
    w 60 reg delete "$UNINSTALL_KEY" /f >/dev/null 2>&1
  fi
  if [ -n "$platform_pid" ]; then
    kill -TERM "$platform_pid" 2>/dev/null
    wait "$platform_pid" 2>/dev/null
  fi
  [ "$db_created" = no ] || echo "DROP DATABASE;" | isql "$DB" >/dev/null 2>&1
  [ "$status" -ne 0 ] || rm -rf "$WORK"
  [ "$OWN_PREFIX" = no ] || quirada_wine_stop
  if [ "$status" -eq 0 ]; then
    echo "windows-smoke: passed in $((SECONDS - START)) s"
  fi
}
trap cleanup EXIT

# Nothing of an earlier run may stay in the prefix: in its own prefix the smoke removes what a
# failed run left; in another it leaves what it did not install alone.
if [ "$OWN_PREFIX" = no ]; then
  state_is MISSING || fail "a service $SERVICE is registered in $WINEPREFIX already; remove it first"
  [ ! -e "$INSTDIR" ] || fail "$INSTDIR exists already; remove it first"
elif ! state_is MISSING; then
  note "removing the $SERVICE an earlier run left"
  if ! remove_service; then
    quirada_wine_stop
    quirada_wine_start || fail "Wine could not be set up again"
  fi
  state_is MISSING || fail "the $SERVICE an earlier run left could not be removed"
fi
touched=yes
rm -rf "$INSTDIR"
w 60 reg delete "$UNINSTALL_KEY" /f >/dev/null 2>&1 || true
# A token of an earlier run's platform would only cost a refused request.
find "$WINEPREFIX/drive_c" -path '*quirada*' -name token.dm -delete 2>/dev/null || true

# --- The database and the platform ------------------------------------------------------------------

step "Test database $DB_PATH"
rm -rf "$WORK"
mkdir -p "$WORK/db" "$PLATFORM_DIR"
chown firebird:firebird "$WORK/db"
echo "CREATE DATABASE '$DB' USER 'SYSDBA' PASSWORD '$PASSWORD' PAGE_SIZE 8192 DEFAULT CHARACTER SET ISO8859_1;" |
  timeout 60 isql-fb -q -b >/dev/null || fail "the test database could not be created"
db_created=yes
isql -i testing/erp_schema.sql "$DB" || fail "the ERP schema could not be loaded"

# Access keys: state 35, year and month, issuer, model 55, series 1, number, form 1, code, check digit.
OWN=98765432000110
access_key() {
  local base weights=(2 3 4 5 6 7 8 9) sum=0 i digit rest
  base=$(printf '35%s%s55001%09d1%08d' "$(date +%y%m)" "$OWN" "$1" "$((2 + 13 * $1))")
  for ((i = 0; i < 43; i++)); do
    digit=${base:$((42 - i)):1}
    sum=$((sum + digit * weights[i % 8]))
  done
  rest=$((sum % 11))
  printf '%s%d' "$base" "$((rest < 2 ? 0 : 11 - rest))"
}
# Notes SEQUENCIAL first..last, own NF-e dated today.
add_notes() {
  local n key sql=""
  for ((n = $1; n <= $2; n++)); do
    key=$(access_key "$n")
    sql+="INSERT INTO NOTASENTRADASESAIDAS VALUES ($n, '$key', '<?xml version=\"1.0\" encoding=\"UTF-8\"?><nfeProc versao=\"4.00\" xmlns=\"http://www.portalfiscal.inf.br/nfe\"><NFe><infNFe Id=\"NFe$key\" versao=\"4.00\"><ide><mod>55</mod><nNF>$n</nNF></ide><emit><CNPJ>$OWN</CNPJ></emit></infNFe></NFe></nfeProc>', CURRENT_DATE, '55', 'P', 'E');"$'\n'
  done
  printf '%s\nCOMMIT;\n' "$sql" | isql "$DB" || fail "notes $1 to $2 could not be added"
}
printf '%s\n' \
  "INSERT INTO PADRAOII VALUES (1, 'b3f1c2d4-5e6f-4a7b-8c9d-0e1f2a3b4c5d', 'c9e8d7f6-a5b4-4c3d-9e2f-1a0b9c8d7e6f', CURRENT_DATE - 30, 'Y', 'Y', 'Y', 'Y', 'Y');" \
  "COMMIT;" | isql "$DB" || fail "the settings row could not be added"
add_notes 1 2
note "settings and 2 notes dated today"

step "Local platform"
"$PLATFORM_EXE" --dir "$PLATFORM_DIR" --answer-delay-ms "$ANSWER_DELAY_MS" >"$PLATFORM_DIR/output.txt" 2>&1 &
platform_pid=$!
for _ in $(seq 1 300); do
  [ -s "$PLATFORM_DIR/port" ] && break
  kill -0 "$platform_pid" 2>/dev/null || fail "the local platform ended: $(cat "$PLATFORM_DIR/output.txt")"
  sleep 0.1
done
[ -s "$PLATFORM_DIR/port" ] || fail "the local platform did not start"
PORT=$(cat "$PLATFORM_DIR/port")
CA_WIN="Z:$(printf '%s' "$PLATFORM_DIR/ca.pem" | tr / '\\')"
note "https://localhost:$PORT, CA $CA_WIN"

# --- 1. Install ------------------------------------------------------------------------------------

install() {
  w 120 "$SETUP" /S || fail "the installer ended with status $?"
  [ -f "$INSTDIR/QuiradaContabil.exe" ] || fail "the installer did not write QuiradaContabil.exe"
  [ -f "$INSTDIR/uninstall.exe" ] || fail "the installer did not write uninstall.exe"
  [ -f "$INSTDIR/Morvant.ini" ] || fail "the installer did not write Morvant.ini"
  [ ! -e "$INSTDIR/fbclient.dll" ] || fail "the installer carries fbclient.dll"
  w 60 reg query "$UNINSTALL_KEY" /v UninstallString | grep -qF "\"$INSTDIR_WIN\\uninstall.exe\"" ||
    fail "no uninstall entry naming $INSTDIR_WIN\\uninstall.exe"
  local config expected
  config=$(control config "$SERVICE") || fail "the installer did not register $SERVICE"
  # Own process (0x10), automatic start (2), error normal (1), quoted path, the system's account.
  expected="type=0x10
start=2
error=1
binary=\"$INSTDIR_WIN\\QuiradaContabil.exe\"
group=
tag=0
dependencies=
account=LocalSystem
display=Quirada"
  [ "$config" = "$expected" ] || fail "the service's registration is not as expected:
$config"
  state_is STOPPED || fail "the new service is not stopped: $(state)"
}

step "1. Installer, silently"
install
ini_lines=$(wc -l <"$INSTDIR/Morvant.ini")
crlf_lines=$(grep -c $'\r$' "$INSTDIR/Morvant.ini" || true)
if [ "$ini_lines" -le 10 ] || [ "$crlf_lines" != "$ini_lines" ]; then
  fail "the example Morvant.ini does not end its $ini_lines lines with CR LF ($crlf_lines do)"
fi
grep -q '^\[Morvant\]' "$INSTDIR/Morvant.ini" || fail "the example Morvant.ini has no [Morvant] section"
note "program, uninstaller and entry, example Morvant.ini ($ini_lines lines, CR LF); service registered, stopped"

# --- 2. Configure ----------------------------------------------------------------------------------

step "2. Firebird client and Morvant.ini"
cp "$FB_CLIENT_DIR/fbclient.dll" "$FB_CLIENT_DIR/firebird.msg" "$INSTDIR/"
printf '%s\r\n' \
  "[Morvant]" \
  "Servidor=127.0.0.1" \
  "Caminho=$DB_PATH" \
  "" \
  "[Quirada]" \
  "ApiUrl=https://localhost:$PORT" \
  "AuthUrl=https://localhost:$PORT" \
  "CAFile=$CA_WIN" \
  "IntervaloSegundos=$INTERVAL" >"$INSTDIR/Morvant.ini"

# --- 3. Start: the first cycle ---------------------------------------------------------------------

step "3. sc start $SERVICE"
w 60 sc start "$SERVICE" >/dev/null || fail "sc start ended with status $?"
control wait "$SERVICE" RUNNING 30 >/dev/null || fail "the service is not running: $(state)"
state | grep -q ' controls=0x7 .* waithint=0$' || fail "the running service does not accept stop, pause and shutdown: $(state)"
note "RUNNING, accepting stop, pause/continue and shutdown"
wait_for 60 "2 documents uploaded and recorded" rows_are 2 ||
  fail "the first cycle did not record both documents: $(register_rows) register rows"
uploads_are 2 || fail "the platform accepted $(accepted_uploads) uploads, not 2"
[ ! -e "$INSTDIR/QuiradaContabil.log" ] || fail "the first cycle wrote to the service log"

# --- 4. Pause and continue -------------------------------------------------------------------------

step "4. Pause and continue"
control pause "$SERVICE" 30 >/dev/null || fail "the service did not report PAUSED: $(state)"
note "PAUSED"
add_notes 3 3
wait_for 30 "the document added while paused uploaded and recorded" rows_are 3 ||
  fail "no cycle ran while paused: $(register_rows) register rows"
state_is PAUSED || fail "the service left the paused state by itself: $(state)"
control continue "$SERVICE" 30 >/dev/null || fail "the service did not report RUNNING again: $(state)"
note "RUNNING"

# --- 5. Stop during a cycle ------------------------------------------------------------------------

step "5. sc stop $SERVICE while the cycle sends"
add_notes 4 9
wait_for 60 "the cycle is sending the new documents" uploads_at_least 4 ||
  fail "the cycle did not start sending the new documents"
stop_started=$SECONDS
w 60 sc stop "$SERVICE" >/dev/null || fail "sc stop ended with status $?"
acknowledged=$(state)
case "$acknowledged" in
  "state=STOP_PENDING controls=0x0 "*" waithint=5000" | "state=STOPPED controls=0x0 "*) ;;
  *) fail "the stop was not acknowledged at once: $acknowledged" ;;
esac
note "acknowledged at once: $acknowledged"
stopped=$(control wait "$SERVICE" STOPPED 120) || fail "the service did not stop: $stopped"
[ "$stopped" = "state=STOPPED controls=0x0 exit=0 specific=0 waithint=0" ] ||
  fail "the service stopped with a failure: $stopped"
note "STOPPED (exit code 0) $((SECONDS - stop_started)) s after sc stop"
rows=$(register_rows)
uploads=$(accepted_uploads)
[ "$uploads" -ge "$rows" ] && [ "$uploads" -le $((rows + 1)) ] ||
  fail "$uploads uploads accepted but $rows register rows: more than the document in hand went unrecorded"
[ "$rows" -lt 9 ] || fail "the stop did not end the cycle: all 9 documents were sent"
note "$rows of 9 documents sent and recorded, $uploads uploads accepted (the one in hand may be cut)"
[ ! -e "$INSTDIR/QuiradaContabil.log" ] || fail "the cycles wrote to the service log"

# --- 6. Uninstall ----------------------------------------------------------------------------------

uninstall() {
  w 60 "$INSTDIR/uninstall.exe" /S || fail "the uninstaller ended with status $?"
  # The uninstaller runs on from a copy of itself: its effects are waited for.
  uninstalled() {
    [ ! -e "$INSTDIR/QuiradaContabil.exe" ] && [ ! -e "$INSTDIR/uninstall.exe" ] &&
      state_is MISSING && ! w 60 reg query "$UNINSTALL_KEY" >/dev/null 2>&1
  }
  wait_for 120 "service, program, uninstaller and entry removed" uninstalled ||
    fail "the uninstaller left something behind: $(state); $(ls "$INSTDIR" 2>&1 | tr '\n' ' ')"
  [ -f "$INSTDIR/Morvant.ini" ] || fail "the uninstaller removed the operator's Morvant.ini"
}

step "6. Uninstaller, silently"
uninstall

# --- 7. Without the Firebird client ----------------------------------------------------------------

step "7. Again without fbclient.dll"
rm -f "$INSTDIR/fbclient.dll" "$INSTDIR/firebird.msg"
install
grep -qF "Caminho=$DB_PATH" "$INSTDIR/Morvant.ini" || fail "the installer replaced the existing Morvant.ini"
note "installed; the existing Morvant.ini kept"
w 60 sc start "$SERVICE" >/dev/null || fail "sc start ended with status $?"
log_says_client_missing() {
  [ -f "$INSTDIR/QuiradaContabil.log" ] &&
    iconv -f CP1252 -t UTF-8 "$INSTDIR/QuiradaContabil.log" | grep -qF \
      'A biblioteca cliente do Firebird (fbclient.dll, 64 bits) não foi encontrada: nem na pasta do programa (C:\Program Files\Quirada Contabil\), nem na instalação do Firebird registrada no Windows, nem no caminho de busca do sistema. Instale o cliente do Firebird 3 de 64 bits (o instalador do Firebird, opção "Client components") ou copie fbclient.dll dessa instalação para a pasta do programa.'
}
wait_for 30 "the cycle's log line says the Firebird client is missing and how to install it" \
  log_says_client_missing ||
  fail "no log line about the missing Firebird client in 30 s (the log $([ -f "$INSTDIR/QuiradaContabil.log" ] && echo exists || echo "is absent"); the service: $(state))"
note "$(iconv -f CP1252 -t UTF-8 "$INSTDIR/QuiradaContabil.log" | tr -d '\r' | head -n 1 | cut -c1-110)..."
state_is RUNNING || fail "the service did not go on after the failed cycle: $(state)"
w 60 sc stop "$SERVICE" >/dev/null || fail "sc stop ended with status $?"
stopped=$(control wait "$SERVICE" STOPPED 60) || fail "the service did not stop: $stopped"
[ "$stopped" = "state=STOPPED controls=0x0 exit=0 specific=0 waithint=0" ] || fail "the service stopped with a failure: $stopped"
uninstall
rm -rf "$INSTDIR"
