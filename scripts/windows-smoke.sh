#!/usr/bin/env bash
# The Windows service end to end under Wine: the installer, the service control manager, the real
# Firebird server and the local platform over TLS.
#
#   scripts/windows-smoke.sh        # after scripts/build-windows.sh; Debian 12, as root
#
# Needs: build-windows/QuiradaContabil-setup.exe, build-windows/QuiradaContabil.exe and the helpers
# of build-windows/testing/windows/ (service_control.exe, planted/fbclient.dll)
# (QUIRADA_WINDOWS_BUILD_DIR=... for another folder), the Linux local platform
# build-test/quirada-local-platform (QUIRADA_LOCAL_PLATFORM=... for another), isql-fb and the
# Firebird 3 server on 127.0.0.1:3050 with SYSDBA's password "gizmor" (scripts/firebird-server.sh
# start), Wine, python3 and script (util-linux). The Windows Firebird client comes from
# testing/windows/.
#
# Under Wine a file's access rules are what its Unix mode gives (the owner, SYSTEM, and Everyone
# for the bits of others): a folder any user may write is one whose mode lets others write.
#
# What it does, each step under a time limit:
#   0. a folder any user may write (C:\users\Public, as on Windows): the installer with /D= and
#      "/INSTALL" of a copy of the program there are both refused, naming the folder and who may
#      write it, and nothing is installed or registered; a quoted /D= is refused (exit 2);
#   1. the installer, silently: the program, the operator's guide, the Windows example Morvant.ini
#      (CR LF), the next steps in PROXIMOS-PASSOS.txt, the uninstaller and its entry; the service
#      registered as the system runs it (with its description and its event source), stopped;
#      without a switch at a console, and with its output piped, the program shows its usage and
#      exits 2 (no journal prefix);
#   2. fbclient.dll and firebird.msg beside the program, a Morvant.ini saved as Notepad's "Unicode"
#      (UTF-16 LE) holding the database user and password, for a new test database (settings, two
#      documents dated today) and the local platform (its CA as a Z:\ path); "/VERIFICAR" reads it
#      (naming the encoding) and warns, with the icacls that mends it, that others may read the
#      password; "/ONCE" with a token.dm that is a link to a folder and a thousand temporary names
#      of the old guessable kind planted beside it never uses either and leaves their targets
#      as they were; while both run no file but the token's own appears in a temporary folder;
#   2c. named instances in folders of every name: a blank, ${HOME}, 300 bytes of multi-byte
#      characters are what the service started by the SCM receives (its first cycle logs in that
#      very folder); a '%' (100%, %WINDIR%, x%PROCESSOR_ARCHITECTURE%) and a line break are refused
#      naming the character, no service left;
#   3. "sc start": RUNNING, and the first cycle uploads and records both documents (register rows
#      and the platform's journal); the lock file is open to no one else;
#   4. pause: PAUSED, and a document added meanwhile is still sent and recorded; continue: RUNNING;
#   5. the installer again over the running service, whose description an administrator changed,
#      and two named instances running: each is running again afterwards as a new process, the
#      registration and Morvant.ini as they were; "/UNINSTALL --instancia" of a running instance
#      stops it and leaves it registered no more (installed again, it starts);
#   6. six more documents and "sc stop" while the cycle sends them: the stop is acknowledged at
#      once, the cycle ends within seconds (an exchange in progress is cut: at most the document in
#      hand was accepted without its register row, and the backlog was cut), STOPPED with exit
#      code 0; then, the database's Servidor a listener that takes the connection and never
#      answers, a stop control while the cycle's attach waits on it: STOPPED with exit code 0 within
#      5 s of the control;
#   6b. "/ONCE --pasta" in a folder of its own on a WIN1252 database: "NESCAFÉ®" declared
#      windows-1252 uploaded byte for byte as stored, declared UTF-8 as "NESCAFÉ®" in UTF-8 (never
#      "ɮ"), a document's UTF-8 bytes kept in the column as UTF-8; a byte WIN1252 leaves undefined
#      (which the server gives as NUL) not sent, one log line naming the key and the place; exit 3;
#   7. the uninstaller, silently, with two named instances running: every service (the named ones
#      too), event source, program, uninstaller and entry gone, Morvant.ini and the instances'
#      folders kept;
#   8. again without fbclient.dll (the kept Morvant.ini is not replaced by the installer), with a
#      planted fbclient.dll on the search path and in the working folder: "/ONCE" says the Firebird
#      client is missing and never loads the planted one; the service's cycle writes the same line
#      to QuiradaContabil.log, which is open to no one else; stop; uninstall.
# It runs in a Wine prefix of its own ($QUIRADA_WINEPREFIX when set), made on the first run and
# kept; it leaves no service or program behind in it and stops its wineserver at the end (a
# prefix given in QUIRADA_WINEPREFIX keeps its wineserver running). Its files and the test database
# go to /var/tmp/quirada-windows-smoke ($QUIRADA_SMOKE_WORK when set). Exit status 0 when every step
# passed; otherwise 1 and a line saying which check failed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
# Wine reads command lines and Unix file names in the locale's code page: UTF-8, so that the
# folders of step 2c, beyond ASCII, are the same on both sides.
export LC_ALL=C.UTF-8

BUILD_DIR="${QUIRADA_WINDOWS_BUILD_DIR:-$ROOT/build-windows}"
PLATFORM_EXE="${QUIRADA_LOCAL_PLATFORM:-$ROOT/build-test/quirada-local-platform}"
SETUP="$BUILD_DIR/QuiradaContabil-setup.exe"
PROGRAM_EXE="$BUILD_DIR/QuiradaContabil.exe"
CONTROL="$BUILD_DIR/testing/windows/service_control.exe"
PLANTED_DLL="$BUILD_DIR/testing/windows/planted/fbclient.dll"
FB_CLIENT_DIR="$ROOT/testing/windows"
WORK="${QUIRADA_SMOKE_WORK:-/var/tmp/quirada-windows-smoke}"   # the firebird user must reach the database folder
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

for f in "$SETUP" "$PROGRAM_EXE" "$CONTROL" "$PLANTED_DLL" "$PLATFORM_EXE" "$FB_CLIENT_DIR/fbclient.dll" "$FB_CLIENT_DIR/firebird.msg"; do
  [ -f "$f" ] || fail "$f is missing (scripts/build-windows.sh builds the Windows side; the test build the local platform)"
done
# The client files are what testing/windows/README.md says they are (not, say, a Git LFS pointer).
(cd "$FB_CLIENT_DIR" && grep -E '^ +[0-9a-f]{64}  (fbclient\.dll|firebird\.msg)$' README.md |
  sed 's/^ *//' | sha256sum --quiet -c -) || fail "testing/windows/fbclient.dll or firebird.msg differs from its SHA-256 in README.md"
command -v isql-fb >/dev/null || fail "isql-fb is missing (scripts/install-deps.sh)"
command -v python3 >/dev/null || fail "python3 is missing"
command -v script >/dev/null || fail "script (util-linux) is missing"
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
# The services log their events where the smoke reads them: Wine writes an event as a line of its
# own ("trace:eventlog" for information, "err:eventlog" for an error) on the standard error the
# services inherit, the prefix's log file, once its server runs with that channel on. (Restarted
# before anything is installed: a new server starts the automatic services itself.)
quirada_wine_stop
QUIRADA_WINEDEBUG=-all,err+eventlog,trace+eventlog quirada_wine_start || fail "Wine could not be set up again"
export WINEDEBUG=-all
EVENTS="$(dirname "$WINEPREFIX")/$(basename "$WINEPREFIX").log"

INSTDIR="$WINEPREFIX/drive_c/Program Files/Quirada Contabil"
INSTDIR_WIN='C:\Program Files\Quirada Contabil'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuiradaContabil'
EVENT_SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\SrvQuirada'
PUBLIC="$WINEPREFIX/drive_c/users/Public"
# The temporary folders of a program run by hand and of the service.
TEMP_DIRS=("$WINEPREFIX/drive_c/users/$(id -un)/Temp" "$WINEPREFIX/drive_c/windows/temp")

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
# Whether no one but the owner's side may open the file: its mode gives others nothing (under Wine
# that is the file's DACL: no Everyone).
private_file() { [ $(( 0$(stat -c %a "$1") & 07 )) -eq 0 ]; }
# Watches the temporary folders for every file made in them until stopped (watch_stop), into
# $WORK/made.txt, one name a line.
watch_pid=""
watch_start() {
  : >"$WORK/made.txt"
  python3 - "$WORK/made.txt" "${TEMP_DIRS[@]}" <<'EOF' &
import ctypes, os, select, signal, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(os.O_NONBLOCK)
IN_CREATE, IN_MOVED_TO = 0x100, 0x80
for folder in sys.argv[2:]:
    os.makedirs(folder, exist_ok=True)
    if libc.inotify_add_watch(fd, folder.encode(), IN_CREATE | IN_MOVED_TO) < 0:
        sys.exit("cannot watch " + folder)
out = open(sys.argv[1], "a")
open(sys.argv[1] + ".ready", "w").close()
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
while True:
    select.select([fd], [], [], 1.0)
    try:
        data = os.read(fd, 65536)
    except BlockingIOError:
        continue
    at = 0
    while at < len(data):
        _, _, _, size = struct.unpack_from("iIII", data, at)
        name = data[at + 16:at + 16 + size].rstrip(b"\0").decode("utf-8", "replace")
        out.write(name + "\n")
        out.flush()
        at += 16 + size
EOF
  watch_pid=$!
  local tries=0
  until [ -e "$WORK/made.txt.ready" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || fail "the watcher of the temporary folders did not start"
    sleep 0.1
  done
}
watch_stop() {
  [ -n "$watch_pid" ] || return 0
  kill -TERM "$watch_pid" 2>/dev/null
  wait "$watch_pid" 2>/dev/null || true
  watch_pid=""
  rm -f "$WORK/made.txt.ready"
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
chars_db_created=no
touched=no  # whether the prefix holds something of this run's to remove
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$?
  set +e
  watch_stop
  chmod 0755 "$PUBLIC" 2>/dev/null
  rm -rf "$PUBLIC/Quirada" "$PUBLIC/Q2" "$WINEPREFIX/drive_c/planted" "$WINEPREFIX/drive_c/plantedcwd" \
    "$WINEPREFIX/drive_c/quirada-caracteres" "${TEMP_DIRS[0]}"/instancia-quirada-caracteres-*
  if [ "$status" -ne 0 ] && [ -n "$platform_pid" ]; then
    echo "--- QuiradaContabil.log" >&2
    [ -f "$INSTDIR/QuiradaContabil.log" ] && iconv -f CP1252 -t UTF-8 "$INSTDIR/QuiradaContabil.log" | tr -d '\r' | tail -n 20 >&2
    echo "--- the platform's journal" >&2
    tail -n 20 "$PLATFORM_DIR/journal.jsonl" >&2 2>/dev/null
  fi
  if [ "$touched" = yes ]; then
    for svc in 'SrvQuirada$acme' 'SrvQuirada$beta'; do
      w 60 sc stop "$svc" >/dev/null 2>&1
      w 60 sc delete "$svc" >/dev/null 2>&1
    done
    rm -rf "$WINEPREFIX/drive_c/QI"
    remove_service
    rm -rf "$INSTDIR"
    w 60 reg delete "$UNINSTALL_KEY" /f >/dev/null 2>&1
  fi
  if [ -n "$platform_pid" ]; then
    kill -TERM "$platform_pid" 2>/dev/null
    wait "$platform_pid" 2>/dev/null
  fi
  [ "$db_created" = no ] || echo "DROP DATABASE;" | isql "$DB" >/dev/null 2>&1
  [ "$chars_db_created" = no ] || echo "DROP DATABASE;" | isql "$CHARS_DB" >/dev/null 2>&1
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
"$PLATFORM_EXE" --dir "$PLATFORM_DIR" --answer-delay-ms "$ANSWER_DELAY_MS" --keep-uploads >"$PLATFORM_DIR/output.txt" 2>&1 &
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
  [ -f "$INSTDIR/LEIAME.md" ] || fail "the installer did not write LEIAME.md"
  w 60 reg query "$UNINSTALL_KEY" /v UninstallString | grep -qF "\"$INSTDIR_WIN\\uninstall.exe\"" ||
    fail "no uninstall entry naming $INSTDIR_WIN\\uninstall.exe"
  w 60 reg query "$EVENT_SOURCE_KEY" /v EventMessageFile | grep -qF "$INSTDIR_WIN\\QuiradaContabil.exe" ||
    fail "no event source SrvQuirada whose messages come from $INSTDIR_WIN\\QuiradaContabil.exe"
  [ "$(control description "$SERVICE")" = "Leva os XMLs fiscais (NF-e, NFC-e, CF-e SAT e cancelamentos) do banco Firebird do ERP para a plataforma contábil Quirada, por HTTPS." ] ||
    fail "the service has not the program's description: $(control description "$SERVICE")"
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

step "0. A folder any user may write: refused"
# On Windows every user may write in C:\Users\Public; under Wine its mode says so.
chmod 0777 "$PUBLIC"
w 120 "$SETUP" /S '/D=C:\users\Public\Quirada' && fail "the installer took C:\users\Public\Quirada"
[ ! -e "$PUBLIC/Quirada" ] || fail "the refused installer left $(ls -A "$PUBLIC/Quirada" | tr '\n' ' ')in C:\users\Public\Quirada"
state_is MISSING || fail "the refused installer registered the service: $(state)"
note "installer with /D=C:\users\Public\Quirada: refused, nothing left, nothing registered"
# A /D= the installer cannot take (quoted) is told, never ignored for the default folder.
w 120 "$SETUP" /S '"/D=C:\Quirada aspas"' && status=0 || status=$?
[ "$status" -eq 2 ] || fail "the installer with a quoted /D= ended with $status, not 2"
[ ! -e "$INSTDIR" ] && [ ! -e "$WINEPREFIX/drive_c/Quirada aspas" ] && state_is MISSING ||
  fail "the installer with a quoted /D= installed something"
note "installer with a quoted /D=: refused (exit 2), nothing installed in the default folder nor elsewhere"
mkdir -p "$PUBLIC/Q2"
cp "$PROGRAM_EXE" "$PUBLIC/Q2/"
said=$(w 60 'C:\users\Public\Q2\QuiradaContabil.exe' /INSTALL 2>&1) && fail "/INSTALL in C:\users\Public\Q2 succeeded: $said"
case "$said" in
  *'Falha ao instalar o serviço "SrvQuirada" com erro: "Pasta do serviço não confiável, nada foi feito: "C:\users\Public": Everyone (S-1-1-0) pode apagar ou renomear o que ela guarda'*) ;;
  *) fail "/INSTALL in C:\users\Public\Q2 did not say which folder others may change and who: $said" ;;
esac
state_is MISSING || fail "the refused /INSTALL registered the service: $(state)"
note "/INSTALL there: refused, naming C:\users\Public and Everyone"
rm -rf "$PUBLIC/Q2"
chmod 0755 "$PUBLIC"

step "1. Installer, silently"
install
ini_lines=$(wc -l <"$INSTDIR/Morvant.ini")
crlf_lines=$(grep -c $'\r$' "$INSTDIR/Morvant.ini" || true)
if [ "$ini_lines" -le 10 ] || [ "$crlf_lines" != "$ini_lines" ]; then
  fail "the example Morvant.ini does not end its $ini_lines lines with CR LF ($crlf_lines do)"
fi
grep -q '^\[Morvant\]' "$INSTDIR/Morvant.ini" || fail "the example Morvant.ini has no [Morvant] section"
for piece in ';Caminho=C:\ERP\' ';Usuario=' ';Senha=' 'Unicode (UTF-16)'; do
  grep -qF "$piece" "$INSTDIR/Morvant.ini" || fail "the example Morvant.ini is not the Windows one: no \"$piece\""
done
! grep -qE '/opt/|/var/lib/|ISO-8859-1' "$INSTDIR/Morvant.ini" || fail "the example Morvant.ini names Linux paths"
steps=$(iconv -f UTF-16 -t UTF-8 "$INSTDIR/PROXIMOS-PASSOS.txt" 2>/dev/null | tr -d '\r') ||
  fail "no PROXIMOS-PASSOS.txt (UTF-16) beside the program"
for piece in "foi instalado" "Edite $INSTDIR_WIN\\Morvant.ini" "\"$INSTDIR_WIN\\QuiradaContabil.exe\" /VERIFICAR" "sc start SrvQuirada"; do
  [[ "$steps" == *"$piece"* ]] || fail "PROXIMOS-PASSOS.txt lacks \"$piece\": $steps"
done
note "program, guide, uninstaller and entry, the Windows Morvant.ini ($ini_lines lines, CR LF), next steps in PROXIMOS-PASSOS.txt; service registered with its description and event source, stopped"
# Without a switch, at a console: the usage, and what the program is without one.
console=$(timeout 60 script -qec "wine '$INSTDIR_WIN\\QuiradaContabil.exe'" /dev/null | sed 's/\x1b\[1C/ /g; s/\x1b\[[0-9;?]*[a-zA-Z]//g' | tr -d '\r\n') && status=0 || status=$?
[ "$status" -eq 2 ] || fail "without a switch at a console the program ended with $status, not 2: $console"
for piece in "-ONCE" "-VERIFICARPASTA" "inicia (sc start SrvQuirada)" "(/ONCE executa um ciclo agora)"; do
  [[ "$console" == *"$piece"* ]] || fail "without a switch at a console the program did not say \"$piece\": $console"
done
note "without a switch at a console: the usage and what the program is, exit 2"
# Without a switch, its output piped (a script, a redirect, a scheduler): the service dispatcher
# cannot connect, and the program says the same, with no journal prefix, exit 2.
piped=$(w 90 "$INSTDIR_WIN\\QuiradaContabil.exe" 2>&1 </dev/null) && status=0 || status=$?
[ "$status" -eq 2 ] || fail "without a switch, piped, the program ended with $status, not 2: $piped"
for piece in "-ONCE" "-VERIFICARPASTA" "Sem opção, o programa é o serviço SrvQuirada, que o gerenciador de serviços inicia (sc start SrvQuirada)"; do
  [[ "$piped" == *"$piece"* ]] || fail "without a switch, piped, the program did not say \"$piece\": $piped"
done
! grep -qE '^<[0-9]>' <<<"$piped" || fail "a journal prefix on Windows: $piped"
note "without a switch, piped: the usage and what the program is, no <N> prefix, exit 2"

# --- 2. Configure ----------------------------------------------------------------------------------

step "2. Firebird client and Morvant.ini"
cp "$FB_CLIENT_DIR/fbclient.dll" "$FB_CLIENT_DIR/firebird.msg" "$INSTDIR/"
# As Notepad saves "Unicode": UTF-16 LE after its byte-order mark.
{
  printf '\xff\xfe'
  printf '%s\r\n' \
    "; Configuração de teste" \
    "[Morvant]" \
    "Servidor=127.0.0.1" \
    "Caminho=$DB_PATH" \
    "Usuario=SYSDBA" \
    "Senha=$PASSWORD" \
    "" \
    "[Quirada]" \
    "ApiUrl=https://localhost:$PORT" \
    "AuthUrl=https://localhost:$PORT" \
    "CAFile=$CA_WIN" \
    "IntervaloSegundos=$INTERVAL" | iconv -f UTF-8 -t UTF-16LE
} >"$INSTDIR/Morvant.ini"
cp "$INSTDIR/Morvant.ini" "$WORK/Morvant.ini"
note "Morvant.ini in UTF-16 LE with Usuario and Senha; the Firebird client beside the program"

step "2b. /VERIFICAR and /ONCE by hand: no copy of the INI, a planted token.dm and temporary names never used"
watch_start
verificar=$(w 120 "$INSTDIR_WIN\\QuiradaContabil.exe" /VERIFICAR 2>&1) || fail "/VERIFICAR failed: $verificar"
watch_stop
for piece in "Morvant.ini (lido em UTF-16 LE)" "  [Morvant] Senha = ********" \
    "guarda a Senha do banco e pode ser lido pelo grupo ou por outros usuários (Everyone (S-1-1-0) pode lê-lo); deixe-o só para SYSTEM, os Administradores, o TrustedInstaller e a conta do serviço: icacls \"$INSTDIR_WIN\\Morvant.ini\" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F" \
    "Banco de dados (127.0.0.1/3050:$DB_PATH): OK" "Plataforma, token de acesso: OK" "Pasta do serviço ($INSTDIR_WIN\\): OK"; do
  [[ "$verificar" == *"$piece"* ]] || fail "/VERIFICAR did not say \"$piece\": $verificar"
done
[[ "$verificar" != *"$PASSWORD"* ]] || fail "/VERIFICAR showed the password"
made_during_verificar=$(sort -u "$WORK/made.txt" | tr '\n' ' ')
note "/VERIFICAR: the UTF-16 LE INI read, the password masked, the icacls for the INI's readers"
# What another user would plant in the temporary folder where a program run by hand keeps its
# token: token.dm as a link to a folder of theirs, and every temporary name of the guessable kind
# ("token.dm.tmp-<process id>"), each with content of its own.
temp_dir=${TEMP_DIRS[0]}
rm -f "$temp_dir/token.dm"
mkdir -p "$WORK/victim"
echo "do outro usuário" >"$WORK/victim/guardado.txt"
ln -s "$WORK/victim" "$temp_dir/token.dm"
for ((pid = 4; pid <= 4096; pid += 4)); do echo "plantado $pid" >"$temp_dir/token.dm.tmp-$pid"; done
watch_start
once=$(w 120 "$INSTDIR_WIN\\QuiradaContabil.exe" /ONCE 2>&1) && status=0 || status=$?
watch_stop
[ "$status" -eq 1 ] || fail "/ONCE with token.dm a link to a folder ended with $status, not 1: $once"
[[ "$once" == *"token.dm"* ]] || fail "/ONCE did not name token.dm: $once"
[ "$(cat "$WORK/victim/guardado.txt" 2>/dev/null)" = "do outro usuário" ] && [ "$(ls -A "$WORK/victim")" = "guardado.txt" ] ||
  fail "the folder token.dm leads to was touched: $(ls -A "$WORK/victim" 2>&1)"
[ -L "$temp_dir/token.dm" ] || fail "the link token.dm is gone"
for ((pid = 4; pid <= 4096; pid += 4)); do
  [ "$(cat "$temp_dir/token.dm.tmp-$pid" 2>/dev/null)" = "plantado $pid" ] || fail "token.dm.tmp-$pid was used"
done
[ "$(register_rows)" = 0 ] && uploads_are 0 || fail "/ONCE sent something without a token it could keep"
note "/ONCE: failed on the link (exit 1, naming token.dm), the folder it leads to and 1024 planted temporary files untouched, nothing sent"
rm -f "$temp_dir/token.dm" "$temp_dir"/token.dm.tmp-[0-9]* "$INSTDIR/QuiradaContabil.log"
unexpected=$(printf '%s\n' $made_during_verificar $(sort -u "$WORK/made.txt") | grep -vE '^token\.dm(\.tmp-[0-9a-f]{16})?$' || true)
[ -z "$unexpected" ] || fail "files appeared in a temporary folder during /VERIFICAR or /ONCE: $unexpected"
note "while both ran, no file but token.dm and its temporary file appeared in a temporary folder"

# --- 2c. Named instances: folder names --------------------------------------------------------------

step "2c. Named instances in folders of every name: what the service receives, what is refused"
# Table: folder name under C:\Q | a piece of the refusal ("" when installed). An installed one is
# started by the SCM: its first cycle (the database is not there) writes its log in that very folder.
# (A folder name that is not UTF-8 has no Windows counterpart: command lines are UTF-16.)
long_name=""
for _ in $(seq 25); do long_name+="ação"; done
mkdir -p "$WINEPREFIX/drive_c/Q"
chmod 0755 "$WINEPREFIX/drive_c/Q"
name_cases=0
name_case() {
  local name=$1 refused=$2 instance folder said
  instance=n$((++name_cases))
  folder="$WINEPREFIX/drive_c/Q/$name"
  mkdir -p "$folder"
  chmod 0755 "$folder"
  printf '[Morvant]\r\nServidor=127.0.0.1\r\nCaminho=%s\r\n[Quirada]\r\nIntervaloSegundos=2\r\n' "$WORK/db/NAO-EXISTE.FDB" >"$folder/Morvant.ini"
  local win="C:\\Q\\${name//\//\\}"
  if ! said=$(w 60 "$INSTDIR_WIN\\QuiradaContabil.exe" /INSTALL --instancia "$instance" --pasta "$win" 2>&1); then
    [ -n "$refused" ] || fail "/INSTALL refused the folder '$name': $said"
    [[ "$said" == *"$refused"* ]] || fail "the refusal of the folder '$name' does not say '$refused': $said"
    state_of "SrvQuirada\$$instance" MISSING || fail "the refused folder '$name' left a service"
    rm -rf "$folder"
    return
  fi
  [ -z "$refused" ] || fail "/INSTALL took the folder '$name': $said"
  w 60 sc start "SrvQuirada\$$instance" >/dev/null || fail "sc start SrvQuirada\$$instance ended with status $?"
  wait_for 60 "the instance of '$name' wrote its log there" test -s "$folder/QuiradaContabil.log" ||
    fail "the instance of the folder '$name' wrote no log there: $(ls -A "$WINEPREFIX/drive_c/Q")"
  grep -qa 'Falha na conex' "$folder/QuiradaContabil.log" || fail "the log of '$name': $(cat "$folder/QuiradaContabil.log")"
  w 60 sc stop "SrvQuirada\$$instance" >/dev/null
  control wait "SrvQuirada\$$instance" STOPPED 60 >/dev/null || fail "SrvQuirada\$$instance did not stop"
  w 60 "$INSTDIR_WIN\\QuiradaContabil.exe" /UNINSTALL --instancia "$instance" >/dev/null || fail "/UNINSTALL --instancia $instance"
  rm -rf "$folder"
}
state_of() { control status "$1" | grep -q "^state=$2\( \|$\)"; }
name_case 'com espaço' ''
name_case 'dol${HOME}x' ''
name_case "$long_name/$long_name" ''
name_case '100%' 'tem o caractere %, depois de "C:\Q\100"'
name_case 'x%PROCESSOR_ARCHITECTURE%' 'expande %NOME% no caminho do serviço'
name_case '%WINDIR%' 'tem o caractere %, depois de "C:\Q\"'
name_case $'a\nb' 'tem o caractere de controle U+000A (quebra de linha)'
rm -rf "$WINEPREFIX/drive_c/Q"
note "a blank, \${HOME} and 300 bytes of multi-byte characters reach the service as written; %, %X% and a line break are refused naming the character"

# --- 3. Start: the first cycle ---------------------------------------------------------------------

step "3. sc start $SERVICE"
events_from=$(stat -c %s "$EVENTS")
# The events logged since `events_from`, "info <text>" or "error <text>" a line (the text as Wine
# writes it: characters beyond ASCII escaped, a long one cut and followed by "...").
events() {
  tail -c +"$((events_from + 1))" "$EVENTS" | tr -d '\r' |
    sed -En 's/^[0-9a-f]*:trace:eventlog:ReportEventW L"(.*)"(\.\.\.)?$/info \1/p; s/^[0-9a-f]*:err:eventlog:ReportEventW L"(.*)"(\.\.\.)?$/error \1/p'
}
count_events() { events | grep -c "$1" || true; }
w 60 sc start "$SERVICE" >/dev/null || fail "sc start ended with status $?"
control wait "$SERVICE" RUNNING 30 >/dev/null || fail "the service is not running: $(state)"
state | grep -q ' controls=0x7 .* waithint=0$' || fail "the running service does not accept stop, pause and shutdown: $(state)"
note "RUNNING, accepting stop, pause/continue and shutdown"
wait_for 60 "2 documents uploaded and recorded" rows_are 2 ||
  fail "the first cycle did not record both documents: $(register_rows) register rows"
uploads_are 2 || fail "the platform accepted $(accepted_uploads) uploads, not 2"
[ ! -e "$INSTDIR/QuiradaContabil.log" ] || fail "the first cycle wrote to the service log"
private_file "$INSTDIR/QuiradaContabil.lock" || fail "the lock file may be opened by others (mode $(stat -c %a "$INSTDIR/QuiradaContabil.lock"))"
note "the lock file is open to no one else (mode $(stat -c %a "$INSTDIR/QuiradaContabil.lock"))"
sleep $((3 * INTERVAL))  # a few more cycles, all of them routine
[ "$(count_events '^info .*SrvQuirada iniciado')" = 1 ] || fail "no single event of the service's start: $(events)"
[ "$(count_events '^error')" = 0 ] && [ "$(count_events 'Ciclo')" = 0 ] ||
  fail "cycles that went well were written to the event log: $(events)"
note "event log: the start; nothing for cycles that went well"

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

# --- 5. Upgrade over the running, customised service -----------------------------------------------

step "5. The installer again over the running service an administrator customised, and two named instances"
# Two companies more, each a named instance running from the installed program (their database is
# not there: their cycles fail, which they log in their own folders).
INSTANCES_DIR="$WINEPREFIX/drive_c/QI"
mkdir -p "$INSTANCES_DIR"
chmod 0755 "$INSTANCES_DIR"
for name in acme beta; do
  mkdir -p "$INSTANCES_DIR/$name"
  chmod 0755 "$INSTANCES_DIR/$name"
  printf '[Morvant]\r\nServidor=127.0.0.1\r\nCaminho=%s\r\n[Quirada]\r\nIntervaloSegundos=2\r\n' "$WORK/db/NAO-EXISTE.FDB" >"$INSTANCES_DIR/$name/Morvant.ini"
  said=$(w 60 "$INSTDIR_WIN\\QuiradaContabil.exe" /INSTALL --instancia "$name" --pasta "C:\\QI\\$name" 2>&1) ||
    fail "/INSTALL --instancia $name: $said"
  [[ "$said" == *"Inicie-a com: sc start SrvQuirada\$$name"*"O primeiro ciclo vem "*" s depois da partida"* ]] ||
    fail "/INSTALL --instancia $name did not say how to start it and when its first cycle comes: $said"
  w 60 sc start "SrvQuirada\$$name" >/dev/null || fail "sc start SrvQuirada\$$name"
  control wait "SrvQuirada\$$name" RUNNING 30 >/dev/null || fail "SrvQuirada\$$name is not running"
done
declare -A pid_before
for svc in "$SERVICE" 'SrvQuirada$acme' 'SrvQuirada$beta'; do pid_before[$svc]=$(control pid "$svc"); done
control describe "$SERVICE" "Descricao do administrador" || fail "the description could not be changed"
w 120 "$SETUP" /S || fail "the upgrade ended with status $?"
control wait "$SERVICE" RUNNING 60 >/dev/null || fail "the service is not running after the upgrade: $(state)"
for svc in "$SERVICE" 'SrvQuirada$acme' 'SrvQuirada$beta'; do
  control wait "$svc" RUNNING 60 >/dev/null || fail "$svc is not running after the upgrade: $(control status "$svc")"
  pid=$(control pid "$svc")
  [ "$pid" != 0 ] && [ "$pid" != "${pid_before[$svc]}" ] || fail "the upgrade did not restart $svc (process ${pid_before[$svc]} -> $pid)"
done
iconv -f UTF-16 -t UTF-8 "$INSTDIR/PROXIMOS-PASSOS.txt" | tr -d '\r' | grep -q "iniciadas de novo: acme beta" ||
  fail "PROXIMOS-PASSOS.txt does not say the named instances were started again: $(iconv -f UTF-16 -t UTF-8 "$INSTDIR/PROXIMOS-PASSOS.txt")"
note "the service and both named instances stopped for the upgrade and running again, each a new process"
# Removing a running instance stops it first and leaves it registered no more: installed again, it
# is a new registration, and it starts.
said=$(w 60 "$INSTDIR_WIN\\QuiradaContabil.exe" /UNINSTALL --instancia beta 2>&1) || fail "/UNINSTALL --instancia beta: $said"
[ "$said" = $'Serviço SrvQuirada$beta parado.\nServiço desinstalado com sucesso' ] || fail "/UNINSTALL --instancia beta said: $said"
state_of 'SrvQuirada$beta' MISSING || fail "SrvQuirada\$beta is still registered after /UNINSTALL: $(control status 'SrvQuirada$beta')"
said=$(w 60 "$INSTDIR_WIN\\QuiradaContabil.exe" /UNINSTALL --instancia beta 2>&1) && fail "/UNINSTALL of beta, removed, succeeded: $said"
[[ "$said" == *'a instância "beta" não está registrada neste computador; QuiradaContabil /INSTANCIAS lista as instâncias registradas'* ]] ||
  fail "/UNINSTALL of an instance not registered said: $said"
said=$(w 60 "$INSTDIR_WIN\\QuiradaContabil.exe" /INSTALL --instancia beta --pasta 'C:\QI\beta' 2>&1) ||
  fail "/INSTALL --instancia beta after its removal: $said"
[[ "$said" == "Serviço instalado com sucesso"* ]] || fail "/INSTALL --instancia beta after its removal said: $said"
w 60 sc start 'SrvQuirada$beta' >/dev/null || fail "sc start SrvQuirada\$beta after it was installed again"
control wait 'SrvQuirada$beta' RUNNING 30 >/dev/null || fail "SrvQuirada\$beta is not running again"
note "/UNINSTALL --instancia beta while it ran: stopped, gone; installed again as new and running"
[ "$(control description "$SERVICE")" = "Descricao do administrador" ] ||
  fail "the upgrade changed the administrator's description: $(control description "$SERVICE")"
[ "$(control config "$SERVICE" | grep -E '^(start|binary|account)=' | tr '\n' ' ')" = "start=2 binary=\"$INSTDIR_WIN\\QuiradaContabil.exe\" account=LocalSystem " ] ||
  fail "the upgrade changed the registration: $(control config "$SERVICE")"
cmp -s "$INSTDIR/Morvant.ini" "$WORK/Morvant.ini" || fail "the upgrade changed Morvant.ini"
iconv -f UTF-16 -t UTF-8 "$INSTDIR/PROXIMOS-PASSOS.txt" | grep -q "foi atualizado e iniciado de novo" ||
  fail "PROXIMOS-PASSOS.txt does not say the service was updated and started again"
note "RUNNING again, the administrator's description, the registration and Morvant.ini kept"

# --- 6. Stop during a cycle ------------------------------------------------------------------------

step "6. sc stop $SERVICE while the cycle sends"
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
wait_for 10 "the stop in the event log" eval '[ "$(count_events "^info .*SrvQuirada parado")" -ge 1 ]' ||
  fail "no event of the service's stop: $(events)"
rows=$(register_rows)
uploads=$(accepted_uploads)
[ "$uploads" -ge "$rows" ] && [ "$uploads" -le $((rows + 1)) ] ||
  fail "$uploads uploads accepted but $rows register rows: more than the document in hand went unrecorded"
[ "$rows" -lt 9 ] || fail "the stop did not end the cycle: all 9 documents were sent"
note "$rows of 9 documents sent and recorded, $uploads uploads accepted (the one in hand may be cut)"
[ ! -e "$INSTDIR/QuiradaContabil.log" ] || fail "the cycles wrote to the service log"

# --- 6c. A stop while the database server never answers ---------------------------------------------

step "6c. The stop control to $SERVICE while the database server takes the connection and never answers"
# A listener that takes connections and answers nothing: the cycle's attach waits on it, and
# nothing but the stop's deadline can end that wait.
SILENT_PORT_FILE="$WORK/silent-port"
rm -f "$SILENT_PORT_FILE"
python3 - "$SILENT_PORT_FILE" <<'EOF3' &
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
open(sys.argv[1] + ".tmp", "w").write(str(s.getsockname()[1])); __import__("os").rename(sys.argv[1] + ".tmp", sys.argv[1])
held = []
while True:
    c, _ = s.accept(); held.append(c); open(sys.argv[1] + ".taken", "w").write(str(len(held)))
EOF3
SILENT_PID=$!
wait_for 10 "the silent listener" test -s "$SILENT_PORT_FILE" || fail "the silent listener did not start"
{
  printf '\xff\xfe'
  printf '%s\r\n' "[Morvant]" "Servidor=127.0.0.1/$(cat "$SILENT_PORT_FILE")" "Caminho=$DB_PATH" \
    "Usuario=SYSDBA" "Senha=$PASSWORD" "" "[Quirada]" "ApiUrl=https://localhost:$PORT" \
    "AuthUrl=https://localhost:$PORT" "CAFile=$CA_WIN" "IntervaloSegundos=$INTERVAL" | iconv -f UTF-8 -t UTF-16LE
} >"$INSTDIR/Morvant.ini"
w 60 sc start "$SERVICE" >/dev/null || fail "sc start ended with status $?"
wait_for 30 "the cycle's attach taken by the silent listener" test -s "$SILENT_PORT_FILE.taken" ||
  fail "the cycle never connected to the silent listener"
sleep 1
# Timed by the program that sends the control (starting a Wine program on a busy machine takes a
# second or more of its own).
stop_said=$(control stop "$SERVICE" 30) || fail "the service did not stop: $stop_said"
stopped=$(printf '%s\n' "$stop_said" | head -n 1)
stop_ms=$(printf '%s\n' "$stop_said" | sed -n 's/^ms=//p')
kill "$SILENT_PID" 2>/dev/null || true
wait "$SILENT_PID" 2>/dev/null || true
cp "$WORK/Morvant.ini" "$INSTDIR/Morvant.ini"
[ "$stopped" = "state=STOPPED controls=0x0 exit=0 specific=0 waithint=0" ] ||
  fail "the service stopped with a failure: $stopped"
[ "$stop_ms" -le 5000 ] || fail "the service stopped $stop_ms ms after the stop control, not within 5 s"
[ ! -e "$INSTDIR/QuiradaContabil.log" ] || fail "the stop was written to the service log"
note "STOPPED (exit code 0) $stop_ms ms after the stop control, the attach still waiting on the server"

# --- 6b. The characters of the field's databases ----------------------------------------------------

step "6b. /ONCE --pasta on a WIN1252 database: each upload the characters as stored, a NUL not sent"
# The Linux build is held to the whole table of the field's characters (testing/character_cases.cc,
# run by this build too, in the pending walk's test); here the installed program sends the cases
# that decide whether a signed document is altered, and the platform's copies are compared byte
# for byte.
CHARS_DIR="$WINEPREFIX/drive_c/quirada-caracteres"  # a folder only its owner may write
CHARS_DB_PATH="$WORK/db/CARACTERES.FDB"
CHARS_DB="127.0.0.1/3050:$CHARS_DB_PATH"
echo "CREATE DATABASE '$CHARS_DB' USER 'SYSDBA' PASSWORD '$PASSWORD' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1252;" |
  timeout 60 isql-fb -q -b >/dev/null || fail "the WIN1252 test database could not be created"
chars_db_created=yes
isql -i testing/erp_schema.sql "$CHARS_DB" || fail "the ERP schema could not be loaded into the WIN1252 database"
DECL_UTF8='<?xml version="1.0" encoding="UTF-8"?>'
DECL_1252='<?xml version="1.0" encoding="windows-1252"?>'
# The documents' bytes, as a WIN1252 column holds them (stored as they are through a NONE connection):
# 101 "NESCAFÉ®" (C9 AE) declared windows-1252, 102 the same declared UTF-8 (C9 AE would spell "ɮ"),
# 103 a document's UTF-8 bytes an ERP kept there, 104 a byte WIN1252 leaves undefined (0x81).
chars_note() { printf "INSERT INTO NOTASENTRADASESAIDAS VALUES (%s, 'NFe99000%s', '%s', CURRENT_DATE, '65', 'P', 'E');\n" "$1" "$1" "$2"; }
{
  printf '%s\n' "INSERT INTO PADRAOII VALUES (1, 'b3f1c2d4-5e6f-4a7b-8c9d-0e1f2a3b4c5d', 'c9e8d7f6-a5b4-4c3d-9e2f-1a0b9c8d7e6f', CURRENT_DATE - 30, 'Y', 'Y', 'Y', 'Y', 'Y');"
  chars_note 101 "$DECL_1252<x>NESCAF$(printf '\xc9\xae') ORIGINAL 160G</x>"
  chars_note 102 "$DECL_UTF8<x>NESCAF$(printf '\xc9\xae') ORIGINAL 160G</x>"
  chars_note 103 "$DECL_UTF8<x>a$(printf '\xc3\xa7\xc3\xa3')o</x>"
  chars_note 104 "$DECL_UTF8<x>a$(printf '\x81')b</x>"
  printf 'COMMIT;\n'
} >"$WORK/caracteres.sql"
timeout 60 isql-fb -q -b -ch NONE -user SYSDBA -password "$PASSWORD" -i "$WORK/caracteres.sql" "$CHARS_DB" ||
  fail "the documents could not be added to the WIN1252 database"
rm -rf "$CHARS_DIR"
mkdir -p "$CHARS_DIR"
chmod 0700 "$CHARS_DIR"
printf '%s\r\n' "[Morvant]" "Servidor=127.0.0.1" "Caminho=$CHARS_DB_PATH" "" "[Quirada]" \
  "ApiUrl=https://localhost:$PORT" "AuthUrl=https://localhost:$PORT" "CAFile=$CA_WIN" >"$CHARS_DIR/Morvant.ini"
CHARS_DIR_WIN='C:\quirada-caracteres'
once=$(w 120 "$INSTDIR_WIN\\QuiradaContabil.exe" /ONCE --pasta "$CHARS_DIR_WIN" 2>&1) && status=0 || status=$?
[ "$status" -eq 3 ] || fail "/ONCE on the WIN1252 database ended with $status, not 3 (a document logged, not sent): $once"
python3 - "$PLATFORM_DIR" "$DECL_UTF8" "$DECL_1252" <<'EOF2' || fail "the WIN1252 database's uploads are not the characters stored"
import json, os, sys
platform, utf8, w1252 = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()
expected = {
    "99000101.xml": w1252 + b"<x>NESCAF\xc9\xae ORIGINAL 160G</x>\r\n",
    "99000102.xml": utf8 + "<x>NESCAFÉ® ORIGINAL 160G</x>\r\n".encode(),
    "99000103.xml": utf8 + "<x>ação</x>\r\n".encode(),
}
sent = {}
for line in open(os.path.join(platform, "journal.jsonl"), encoding="utf-8"):
    j = json.loads(line)
    if j.get("file", "").startswith("9900") and 200 <= j["status"] < 300:
        sent.setdefault(j["file"], []).append(open(os.path.join(platform, "uploads", j["sha256"]), "rb").read())
ok = sorted(sent) == sorted(expected) and all(sent[f] == [expected[f]] for f in expected)
if not ok:
    for f in sorted(set(sent) | set(expected)):
        print(f, "sent", sent.get(f), "expected", expected.get(f), file=sys.stderr)
sys.exit(0 if ok else 1)
EOF2
chars_log=$(iconv -f CP1252 -t UTF-8 "$CHARS_DIR/QuiradaContabil.log" | tr -d '\r')
[ "$(grep -c 'Documento NFe99000104 ' <<<"$chars_log")" = 1 ] &&
  grep -q 'Documento NFe99000104 com XML que não pode ser gravado sem alterar seus caracteres: não enviado: o texto guardado (WIN1252) tem, na posição 43, o caractere U+0000' <<<"$chars_log" ||
  fail "no one log line naming document NFe99000104 and the place of its NUL: $chars_log"
[ "$(printf '%s\n' "SET HEADING OFF;" "SELECT COUNT(*) FROM QUIRADA_ENVIOS_XML;" | isql "$CHARS_DB" | tr -d ' \n')" = 3 ] ||
  fail "the WIN1252 database does not record the three documents sent"
note "windows-1252 \"NESCAFÉ®\" sent as stored, UTF-8 declared as \"NESCAFÉ®\", UTF-8 bytes as \"ação\"; the NUL of 0x81 not sent, logged at its place; exit 3"

# --- 7. Uninstall ----------------------------------------------------------------------------------

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
  ! w 60 reg query "$EVENT_SOURCE_KEY" >/dev/null 2>&1 || fail "the uninstaller left the event source"
  [ ! -e "$INSTDIR/LEIAME.md" ] && [ ! -e "$INSTDIR/PROXIMOS-PASSOS.txt" ] || fail "the uninstaller left LEIAME.md or PROXIMOS-PASSOS.txt"
}

step "7. Uninstaller, silently, with two named instances running"
uninstall
for svc in 'SrvQuirada$acme' 'SrvQuirada$beta'; do
  state_of "$svc" MISSING || fail "the uninstaller left $svc registered: $(control status "$svc")"
done
for name in acme beta; do
  [ -f "$INSTANCES_DIR/$name/Morvant.ini" ] && [ -f "$INSTANCES_DIR/$name/QuiradaContabil.log" ] ||
    fail "the uninstaller removed what the instance $name keeps in its folder: $(ls -A "$INSTANCES_DIR/$name")"
done
rm -rf "$INSTANCES_DIR"
note "every named instance stopped and removed, its folder, Morvant.ini and log kept"

# --- 8. Without the Firebird client ----------------------------------------------------------------

step "8. Again without fbclient.dll, a planted one on the search path and in the working folder"
rm -f "$INSTDIR/fbclient.dll" "$INSTDIR/firebird.msg"
install
cmp -s "$INSTDIR/Morvant.ini" "$WORK/Morvant.ini" || fail "the installer replaced the existing Morvant.ini"
note "installed; the existing Morvant.ini kept"
CLIENT_MISSING='A biblioteca cliente do Firebird (fbclient.dll, 64 bits) não foi encontrada: nem na pasta do programa (C:\Program Files\Quirada Contabil\), nem na instalação do Firebird registrada no Windows (o caminho de busca do sistema não é usado). Instale o cliente do Firebird 3 de 64 bits (o instalador do Firebird, opção "Client components") ou copie fbclient.dll dessa instalação para a pasta do programa.'
mkdir -p "$WINEPREFIX/drive_c/planted" "$WINEPREFIX/drive_c/plantedcwd"
cp "$PLANTED_DLL" "$WINEPREFIX/drive_c/planted/"
cp "$PLANTED_DLL" "$WINEPREFIX/drive_c/plantedcwd/"
once=$(cd "$WINEPREFIX/drive_c/plantedcwd" && WINEPATH='C:\planted' w 120 "$INSTDIR_WIN\\QuiradaContabil.exe" /ONCE 2>&1) && status=0 || status=$?
[ "$status" -eq 1 ] || fail "/ONCE without the Firebird client ended with $status, not 1: $once"
[[ "$once" == *"$CLIENT_MISSING"* ]] || fail "/ONCE did not say the Firebird client is missing: $once"
for folder in planted plantedcwd; do
  [ ! -e "$WINEPREFIX/drive_c/$folder/fbclient.dll.carregado" ] || fail "the fbclient.dll planted in C:\\$folder was loaded"
done
# The planted DLL does leave its mark when something loads it by the search path.
(cd "$WINEPREFIX/drive_c/plantedcwd" && w 60 rundll32 fbclient.dll,fb_get_master_interface >/dev/null 2>&1) || true
[ -e "$WINEPREFIX/drive_c/plantedcwd/fbclient.dll.carregado" ] || fail "the planted fbclient.dll leaves no mark when loaded: the check above proves nothing"
note "/ONCE: the client missing, the planted fbclient.dll never loaded (it marks a load, as rundll32 shows)"
rm -f "$INSTDIR/QuiradaContabil.log"
w 60 sc start "$SERVICE" >/dev/null || fail "sc start ended with status $?"
log_says_client_missing() {
  [ -f "$INSTDIR/QuiradaContabil.log" ] &&
    iconv -f CP1252 -t UTF-8 "$INSTDIR/QuiradaContabil.log" | grep -qF "$CLIENT_MISSING"
}
wait_for 30 "the cycle's log line says the Firebird client is missing and how to install it" \
  log_says_client_missing ||
  fail "no log line about the missing Firebird client in 30 s (the log $([ -f "$INSTDIR/QuiradaContabil.log" ] && echo exists || echo "is absent"); the service: $(state))"
note "$(iconv -f CP1252 -t UTF-8 "$INSTDIR/QuiradaContabil.log" | tr -d '\r' | head -n 1 | cut -c1-110)..."
state_is RUNNING || fail "the service did not go on after the failed cycle: $(state)"
private_file "$INSTDIR/QuiradaContabil.log" || fail "the log may be opened by others (mode $(stat -c %a "$INSTDIR/QuiradaContabil.log"))"
note "the log is open to no one else (mode $(stat -c %a "$INSTDIR/QuiradaContabil.log"))"
wait_for 30 "every failed cycle an error in the event log" eval '[ "$(count_events "^error .*fbclient.dll")" -ge 2 ]' ||
  fail "the failed cycles are not errors in the event log: $(events)"
# The client comes: the first cycle that goes well is told, the ones after it are not.
cp "$FB_CLIENT_DIR/fbclient.dll" "$FB_CLIENT_DIR/firebird.msg" "$INSTDIR/"
wait_for 30 "the first cycle that went well after failures in the event log" eval '[ "$(count_events "^info Ciclo conclu")" -ge 1 ]' ||
  fail "no information event for the cycle that went well after failed ones: $(events)"
sleep $((3 * INTERVAL))
[ "$(count_events '^info Ciclo conclu')" = 1 ] || fail "cycles that went well after the first one were written to the event log: $(events)"
note "event log: an error for each failed cycle, one information event when cycles go well again, nothing after"
w 60 sc stop "$SERVICE" >/dev/null || fail "sc stop ended with status $?"
stopped=$(control wait "$SERVICE" STOPPED 60) || fail "the service did not stop: $stopped"
[ "$stopped" = "state=STOPPED controls=0x0 exit=0 specific=0 waithint=0" ] || fail "the service stopped with a failure: $stopped"
uninstall
rm -rf "$INSTDIR"
