#!/usr/bin/env bash
# Runs the package under a real systemd, on a machine (or container) where systemd is not PID 1:
# boots an overlay of this machine's own root with systemd-nspawn and, inside it, checks that
#   - dpkg -i with the example INI file (no [Morvant] Caminho) enables SrvQuirada.service but does
#     not start it, and prints the next steps; the postinst starts it only when the INI file gives
#     Caminho a value (a table of INI files);
#   - started by the operator, its first cycle, with the example INI file, writes "Falha na conexão
#     com o banco de dados: ..." to the log beside the executable; an upgrade leaves it running
#     while Caminho is unset, and restarts it once Caminho is set;
#   - the service runs in its sandbox (no capabilities, no_new_privs, a seccomp filter, read-only
#     root, private /tmp and /dev) and, with a real INI file, sends the pending documents to the
#     local platform and records them in the ERP database on the test Firebird server
#     (127.0.0.1:3050), with the token file in its private /tmp;
#   - it stops cleanly; SrvQuirada-once.service runs one cycle (stopping the long-running service),
#     writes a rejected document's line to the log, and ends successfully; the timer is scheduled;
#   - folder names systemd would expand ("%", "$", "${X}", blanks, long multi-byte names) reach the
#     named instance's service as written, and those it cannot take (not UTF-8, control
#     characters) are refused naming the character;
#   - dpkg -r stops and disables everything, systemd forgets the units, the INI file and the log stay;
#     dpkg -i after it, with the operator's INI file, enables and starts the service again.
# Nothing outside the overlay changes but the test database, which is dropped at the end.
#
# Needs root, systemd-container, a built package (scripts/package.sh) and the local platform
# (build/quirada-local-platform, as scripts/test.sh builds it, or $QUIRADA_LOCAL_PLATFORM).
# Prints what it checks; exits non-zero on the first mismatch.
set -euo pipefail
cd "$(dirname "$0")/.."
# The program works only in a folder no one but root and its user may change, the folders above it
# included (the container's root is made here): nothing made here is group- or other-writable.
umask 022
ROOT=$PWD

DEB=${1:-$(ls "$ROOT"/build-release/quirada-contabil_*.deb 2>/dev/null | head -n 1)}
LOCAL_PLATFORM=${QUIRADA_LOCAL_PLATFORM:-$ROOT/build/quirada-local-platform}
FB_DIR=/tmp/quirada-fb-tests
FB_PASSWORD="${QUIRADA_TEST_SYSDBA_PASSWORD:-gizmor}"

[ "$(id -u)" -eq 0 ] || { echo "precisa de root" >&2; exit 1; }
[ -f "$DEB" ] || { echo "pacote não encontrado: rode scripts/package.sh" >&2; exit 1; }
[ -x "$LOCAL_PLATFORM" ] || { echo "plataforma local não encontrada: $LOCAL_PLATFORM" >&2; exit 1; }
command -v systemd-nspawn >/dev/null || { echo "instale systemd-container" >&2; exit 1; }

W=$(mktemp -d /tmp/quirada-nspawn.XXXXXX)
DB=$FB_DIR/nspawn-$$.fdb
# The databases of two named instances, one company each.
DBA=$FB_DIR/nspawn-$$-acme.fdb
DBB=$FB_DIR/nspawn-$$-beta.fdb
KEYA=35251112345678000190550010000000041000000046
KEYB=35251112345678000190550010000000051000000055
KEY1=35251112345678000190550010000000011000000019
KEY2=35251112345678000190550010000000021000000028
KEY3=35251112345678000190550010000000031000000037
LP_PID=""
DB_CREATED=no

isql() { isql-fb -q -user SYSDBA -password "$FB_PASSWORD" "$@"; }
fail() { echo "check-under-systemd: FALHOU: $*" >&2; exit 1; }
say() { echo "check-under-systemd: $*"; }

cleanup() {
  local status=$?
  set +e
  [ -n "$LP_PID" ] && kill "$LP_PID" 2>/dev/null && wait "$LP_PID" 2>/dev/null
  if [ "$DB_CREATED" = yes ]; then
    for db in "$DB" "$DBA" "$DBB"; do echo "DROP DATABASE;" | isql "127.0.0.1/3050:$db" >/dev/null 2>&1; done
  fi
  rm -rf "$W"
  exit $status
}
trap cleanup EXIT

scripts/firebird-server.sh start >/dev/null
mkdir -p "$W/up" "$W/merged" "$W/platform"
(umask 000 && mkdir -p "$FB_DIR" && : >>"$FB_DIR/sysdba-password.lock")
# The tests that change SYSDBA's password wait for this shared lock.
exec 9<"$FB_DIR/sysdba-password.lock"
flock -s 9

# The third document is refused by the platform: its line goes to the service log.
"$LOCAL_PLATFORM" --dir "$W/platform" --rule "upload:$KEY3=400" >"$W/platform.out" 2>&1 &
LP_PID=$!
for _ in $(seq 100); do [ -f "$W/platform/port" ] && break; sleep 0.1; done
PORT=$(cat "$W/platform/port") || fail "a plataforma local não abriu a porta"

echo "CREATE DATABASE '127.0.0.1/3050:$DB' USER 'SYSDBA' PASSWORD '$FB_PASSWORD' DEFAULT CHARACTER SET ISO8859_1;" |
  isql-fb -q
DB_CREATED=yes
isql -i testing/erp_schema.sql "127.0.0.1/3050:$DB"
isql "127.0.0.1/3050:$DB" <<SQL
INSERT INTO PADRAOII VALUES (1, 'chave-contabilidade', 'chave-integracao', CURRENT_DATE - 30, 'Y', 'Y', 'Y', 'Y', 'Y');
INSERT INTO NOTASENTRADASESAIDAS VALUES (1, '$KEY1', '<?xml version="1.0" encoding="UTF-8"?><nfeProc><NFe><infNFe Id="NFe$KEY1"/></NFe></nfeProc>', CURRENT_DATE, '55', 'P', 'E');
INSERT INTO XML_CANCELAMENTO VALUES (7, '$KEY2', '<?xml version="1.0" encoding="UTF-8"?><procEventoNFe><chNFe>$KEY2</chNFe></procEventoNFe>', CURRENT_TIMESTAMP);
COMMIT;
SQL

for company in acme beta; do
  if [ $company = acme ]; then db=$DBA key=$KEYA; else db=$DBB key=$KEYB; fi
  echo "CREATE DATABASE '127.0.0.1/3050:$db' USER 'SYSDBA' PASSWORD '$FB_PASSWORD' DEFAULT CHARACTER SET WIN1252;" |
    isql-fb -q
  isql -i testing/erp_schema.sql "127.0.0.1/3050:$db"
  isql "127.0.0.1/3050:$db" <<SQL
INSERT INTO PADRAOII VALUES (1, 'chave-contabilidade-$company', 'chave-integracao-$company', CURRENT_DATE - 30, 'Y', 'Y', 'Y', 'Y', 'Y');
INSERT INTO NOTASENTRADASESAIDAS VALUES (1, '$key', '<?xml version="1.0" encoding="UTF-8"?><nfeProc><NFe><infNFe Id="NFe$key"/></NFe></nfeProc>', CURRENT_DATE, '55', 'P', 'E');
COMMIT;
SQL
done

register_rows() {
  isql "127.0.0.1/${2:-3050}:${1:-$DB}" <<<"SELECT 'ROW', SEQUENCIAL, TIPOXML, CODIGORETORNO FROM QUIRADA_ENVIOS_XML ORDER BY TIPOXML, SEQUENCIAL;" |
    awk '$1 == "ROW" { print $2, $3, $4 }'
}

export W DEB DB DBA DBB PORT KEY3 KEYA KEYB FB_PASSWORD
# The overlay and the container live in a mount namespace of their own.
cat >"$W/inner.sh" <<'INNER'
set -euo pipefail
fail() { echo "check-under-systemd: FALHOU: $*" >&2; exit 1; }
say() { echo "check-under-systemd: $*"; }

mount -t tmpfs tmpfs "$W/up"
mkdir "$W/up/upper" "$W/up/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$W/up/upper,workdir=$W/up/work" "$W/merged"
M=$W/merged
LOG=/opt/quirada-contabil/QuiradaContabil.log

# A machine of its own; this machine's servers would clash with the host's on the shared network.
systemd-id128 new >"$M/etc/machine-id"
# Nor should its periodic jobs (apt, man-db...) run in the container.
for unit in firebird3.0.service postgresql.service prometheus.service prometheus-node-exporter.service \
    "$M"/etc/systemd/system/timers.target.wants/*.timer; do
  ln -sf /dev/null "$M/etc/systemd/system/$(basename "$unit")"
done
# What earlier runs on the host may have left of the package.
rm -rf "$M/etc/quirada-contabil" "$M/opt/quirada-contabil" "$M/var/lib/quirada-contabil"
cp "$DEB" "$M/root/quirada-contabil.deb"
cp "$W/platform/ca.pem" "$M/root/ca-local.pem"

systemd-nspawn --register=no --keep-unit --link-journal=no --quiet -D "$M" -M quirada-check -b \
  >"$W/nspawn.log" 2>&1 &
NSPAWN=$!
# The container's init: the child of systemd-nspawn that runs systemd in a PID namespace of its own
# (systemd-nspawn may fork helpers that live only a moment before it).
container_init() {
  local pid
  for pid in $(pgrep -P "$NSPAWN"); do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ] || continue
    [ "$(readlink "/proc/$pid/ns/pid" 2>/dev/null)" != "$(readlink /proc/self/ns/pid)" ] || continue
    echo "$pid"
    return 0
  done
  return 1
}
# A machine whose kernel or cgroups do not let systemd boot in a container cannot run this check:
# say why, loudly, and leave it to the caller (exit 77) instead of reporting a fault of the package.
cannot_boot() {
  echo "check-under-systemd: esta máquina não consegue subir o systemd num contêiner: $*" >&2
  sed 's/^/  nspawn: /' "$W/nspawn.log" >&2
  kill "$NSPAWN" 2>/dev/null || true
  wait "$NSPAWN" 2>/dev/null || true
  exit 77
}
LEADER=""
state=""
for _ in $(seq 300); do
  kill -0 "$NSPAWN" 2>/dev/null || cannot_boot "systemd-nspawn terminou"
  [ -n "$LEADER" ] && [ -d "/proc/$LEADER" ] || LEADER=$(container_init) || LEADER=""
  if [ -n "$LEADER" ]; then
    state=$(nsenter -t "$LEADER" -a -- systemctl is-system-running </dev/null 2>/dev/null || true)
    case "$state" in running | degraded) break ;; esac
  fi
  sleep 0.2
done
case "$state" in running | degraded) ;; *) cannot_boot "o systemd não chegou a rodar (estado: '${state:-nenhum}')" ;; esac
IN() { nsenter -t "$LEADER" -a -- "$@" </dev/null; }
trap 'IN systemctl poweroff >/dev/null 2>&1 || kill "$NSPAWN" 2>/dev/null; wait "$NSPAWN" 2>/dev/null || true' EXIT

say "systemd no contêiner: $state ($(IN systemctl --version | head -n 1))"

# The service log, written in ISO-8859-1 with CR LF line ends, as text of this shell.
log_text() { IN cat "$LOG" | iconv -f ISO-8859-1 -t UTF-8 | tr -d '\r'; }

# Waits up to 20 s for `what` to hold.
wait_for() {
  for _ in $(seq 100); do
    if eval "$1"; then return 0; fi
    sleep 0.2
  done
  return 1
}

main_pid() { IN systemctl show -p MainPID --value SrvQuirada.service; }
INI_FILE=$M/etc/quirada-contabil/Morvant.ini

IN dpkg -i /root/quirada-contabil.deb >"$W/dpkg-i.log" 2>&1 || { cat "$W/dpkg-i.log"; fail "dpkg -i"; }
[ "$(IN systemctl is-enabled SrvQuirada.service)" = enabled ] || fail "dpkg -i não habilitou SrvQuirada.service"
[ "$(IN systemctl is-active SrvQuirada.service || true)" = inactive ] ||
  fail "dpkg -i iniciou SrvQuirada.service com o INI de exemplo, que não diz o Caminho"
grep -qx 'Próximos passos:' "$W/dpkg-i.log" || fail "dpkg -i não mostrou os próximos passos: $(cat "$W/dpkg-i.log")"
[ "$(IN systemctl is-enabled SrvQuirada-once.timer)" = disabled ] || fail "o temporizador veio habilitado"
IN test ! -e $LOG || fail "há um log sem que o serviço tenha rodado"
say "dpkg -i com o INI de exemplo: habilitado, não iniciado, próximos passos mostrados"

# The postinst of a first installation ($2 empty) starts the service only when [Morvant] Caminho
# has a value as the program reads the file. No database is there: a cycle would only log that.
# Case: INI text | started.
cp "$INI_FILE" "$W/example.ini"
ini_case() {
  local ini=$1 started=$2 out state
  printf "$ini" >"$INI_FILE"
  out=$(IN /var/lib/dpkg/info/quirada-contabil.postinst configure 2>&1) || fail "postinst com '$ini': $out"
  state=$(IN systemctl is-active SrvQuirada.service || true)
  IN systemctl stop SrvQuirada.service
  if [ "$started" = yes ]; then
    [ "$state" = active ] || fail "o postinst não iniciou o serviço com '$ini' (estado: $state)"
    ! grep -qx 'Próximos passos:' <<<"$out" || fail "próximos passos com '$ini', que diz o Caminho"
  else
    [ "$state" = inactive ] || fail "o postinst iniciou o serviço com '$ini' (estado: $state)"
    grep -qx 'Próximos passos:' <<<"$out" || fail "sem os próximos passos com '$ini': $out"
  fi
}
ini_case '[Morvant]\nServidor=127.0.0.1\nCaminho=/nenhum/MORVANT.FDB\n' yes
ini_case ' [ morvant ]\r\n  CAMINHO = /nenhum/MORVANT.FDB\r\n' yes
ini_case '[Morvant]\nCaminho: /nenhum/MORVANT.FDB\n' no
ini_case '[Morvant]\nServidor=127.0.0.1\n#Caminho=/nenhum/MORVANT.FDB\n' no
ini_case '[Morvant]\nCaminho=   \nCaminho=/nenhum/MORVANT.FDB\n' no
ini_case '[Quirada]\nCaminho=/nenhum/MORVANT.FDB\n' no
ini_case '[Morvant]\nCaminhoBanco=/nenhum/MORVANT.FDB\n' no
cp "$W/example.ini" "$INI_FILE"
IN rm -f $LOG
say "postinst: inicia o serviço só com o Caminho no INI (2 casos iniciados, 5 não)"

# The operator's last step; the example INI file leaves the database at its default.
IN systemctl start SrvQuirada.service
wait_for 'IN test -s $LOG' || fail "o primeiro ciclo, com o INI de exemplo, não escreveu no log"
first_line=$(log_text)
grep -Eq '^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9:]{8} - Falha na conexão com o banco de dados: .+' <<<"$first_line" ||
  fail "primeira linha de log inesperada: $first_line"
say "iniciado pelo operador; com o INI de exemplo, o log diz: $first_line"

PID=$(main_pid)
IN dpkg -i /root/quirada-contabil.deb >"$W/dpkg-up.log" 2>&1 || { cat "$W/dpkg-up.log"; fail "atualização"; }
# A restart would come without dpkg waiting for it (--no-block): give it time to show.
sleep 2
[ "$(main_pid)" = "$PID" ] || fail "a atualização reiniciou o serviço sem o Caminho no INI"
IN install -m 0644 /root/ca-local.pem /etc/quirada-contabil/ca-local.pem
cat >"$INI_FILE" <<INI
[Morvant]
Servidor=127.0.0.1
Caminho=$DB

[Quirada]
ApiUrl=https://127.0.0.1:$PORT
AuthUrl=https://127.0.0.1:$PORT
CAFile=/etc/quirada-contabil/ca-local.pem
INI
IN dpkg -i /root/quirada-contabil.deb >"$W/dpkg-up.log" 2>&1 || { cat "$W/dpkg-up.log"; fail "atualização"; }
restarted() {
  local pid
  pid=$(main_pid)
  [ "$pid" != 0 ] && [ "$pid" != "$PID" ] && [ "$(IN systemctl is-active SrvQuirada.service)" = active ]
}
wait_for restarted || fail "a atualização, com o Caminho no INI, não reiniciou o serviço"
say "atualização: sem o Caminho no INI o serviço segue rodando (PID $PID); com ele, é reiniciado"

PID=$(main_pid)
status=$(IN cat "/proc/$PID/status")
for expected in "NoNewPrivs:	1" "Seccomp:	2" "CapBnd:	0000000000000000" "CapEff:	0000000000000000"; do
  grep -qx "$expected" <<<"$status" || fail "processo do serviço sem '$expected'"
done
mounts=$(IN awk '{ print $5, $6 }' "/proc/$PID/mountinfo")
grep -Eq '^/ ro,' <<<"$mounts" || fail "raiz do serviço não é só leitura"
grep -Eq '^/opt/quirada-contabil rw,' <<<"$mounts" || fail "/opt/quirada-contabil não é gravável para o serviço"
grep -Eq '^/tmp rw,' <<<"$mounts" || fail "/tmp privado ausente"
# The container's /dev has a console; the service's private /dev only the pseudo devices.
IN test -e /dev/console || fail "o contêiner não tem /dev/console"
devices=$(IN ls "/proc/$PID/root/dev")
! grep -qx 'console' <<<"$devices" || fail "o serviço vê o /dev do sistema"
grep -qx 'null' <<<"$devices" || fail "o /dev do serviço não tem null"
say "sandbox: NoNewPrivs, seccomp, sem capacidades, / só leitura, /opt/quirada-contabil e /tmp graváveis, /dev privado"

answered() {
  local n
  n=$(grep -c '"status":200,"batch"' "$W/platform/journal.jsonl" 2>/dev/null) || true
  echo "${n:-0}"
}
wait_for '[ "$(answered)" -ge 2 ]' || fail "o ciclo não enviou os dois documentos: $(cat "$W/platform.out")"
sleep 1
IN sh -c 'test -f /tmp/systemd-private-*-SrvQuirada.service-*/tmp/quirada-0/token.dm' ||
  fail "token.dm não está no /tmp privado do serviço"
[ "$(IN sh -c 'stat -c %a /tmp/systemd-private-*-SrvQuirada.service-*/tmp/quirada-0/token.dm')" = 600 ] ||
  fail "token.dm sem modo 0600"
[ "$(log_text)" = "$first_line" ] || fail "o ciclo escreveu no log: $(log_text)"
say "com o INI: dois documentos enviados, token em /tmp privado (0600), nada novo no log"

IN systemctl stop SrvQuirada.service
[ "$(IN systemctl show -p Result --value SrvQuirada.service)" = success ] || fail "parada do serviço sem sucesso"
say "parada: Result=success"

isql-fb -q -user SYSDBA -password "$FB_PASSWORD" "127.0.0.1/3050:$DB" <<SQL
INSERT INTO NOTASENTRADASESAIDAS VALUES (2, '$KEY3', '<?xml version="1.0" encoding="UTF-8"?><nfeProc><NFe><infNFe Id="NFe$KEY3"/></NFe></nfeProc>', CURRENT_DATE, '65', 'P', 'E');
COMMIT;
SQL
IN systemctl start SrvQuirada.service
IN systemctl start SrvQuirada-once.service || fail "SrvQuirada-once.service falhou"
[ "$(IN systemctl show -p Result --value SrvQuirada-once.service)" = success ] || fail "SrvQuirada-once.service sem sucesso"
[ "$(IN systemctl is-active SrvQuirada.service || true)" = inactive ] ||
  fail "SrvQuirada.service continuou ativo com SrvQuirada-once.service"
last_line=$(log_text | tail -n 1)
grep -Eq "^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9:]{8} - Documento $KEY3 recusado pela plataforma: " <<<"$last_line" ||
  fail "linha de log inesperada: $last_line"
say "SrvQuirada-once.service: Result=success, parou SrvQuirada.service, log: $last_line"

IN systemctl enable --now SrvQuirada-once.timer >"$W/timer.log" 2>&1 || { cat "$W/timer.log"; fail "systemctl enable --now SrvQuirada-once.timer"; }
timers=$(IN systemctl list-timers --no-pager SrvQuirada-once.timer)
grep -q 'SrvQuirada-once.service' <<<"$timers" || fail "temporizador não agendado: $timers"
say "temporizador: $(sed -n 2p <<<"$timers" | tr -s ' ')"

# Two companies more on this host: one instance that /INSTALL registers for a folder of the
# operator's, one from the package's template, whose folder systemd makes in /var/lib.
instance_ini() {
  cat <<INI
[Morvant]
Servidor=127.0.0.1
Caminho=$1

[Quirada]
ApiUrl=https://127.0.0.1:$PORT
AuthUrl=https://127.0.0.1:$PORT
CAFile=/etc/quirada-contabil/ca-local.pem
IntervaloSegundos=5
INI
}
EXE=/opt/quirada-contabil/QuiradaContabil
IN install -d -m 0755 /srv/quirada
IN install -d -m 0700 /srv/quirada/acme
instance_ini "$DBA" >"$M/srv/quirada/acme/Morvant.ini"
IN "$EXE" /INSTALL --instancia acme --pasta /srv/quirada/acme >"$W/install-acme.log" 2>&1 ||
  { cat "$W/install-acme.log"; fail "/INSTALL --instancia acme"; }
exec_start=$(grep '^ExecStart=' "$M/etc/systemd/system/SrvQuirada@acme.service")
[ "$exec_start" = "ExecStart=$EXE --pasta /srv/quirada/acme --instancia acme" ] ||
  fail "unidade da instância acme: $exec_start"
grep -qx 'ReadWritePaths=/srv/quirada/acme /tmp' "$M/etc/systemd/system/SrvQuirada@acme.service" ||
  fail "unidade da instância acme sem ReadWritePaths da sua pasta"
[ "$(IN systemctl is-enabled SrvQuirada@acme.service)" = enabled ] || fail "/INSTALL não habilitou SrvQuirada@acme"
IN systemctl start SrvQuirada@acme.service
IN install -d -m 0755 /var/lib/quirada-contabil
IN install -d -m 0700 /var/lib/quirada-contabil/beta
instance_ini "$DBB" >"$M/var/lib/quirada-contabil/beta/Morvant.ini"
IN systemctl enable --now SrvQuirada@beta.service >"$W/enable-beta.log" 2>&1 ||
  { cat "$W/enable-beta.log"; fail "systemctl enable --now SrvQuirada@beta"; }
for folder in /srv/quirada/acme /var/lib/quirada-contabil/beta; do
  wait_for "IN grep -q 'Ciclo concluído: 1 enviado(s), 0 não enviado(s).' $folder/QuiradaContabil.ciclo 2>/dev/null" ||
    fail "a instância de $folder não concluiu um ciclo: $(IN cat $folder/QuiradaContabil.log 2>&1)"
done
for company in acme beta; do
  if [ $company = acme ]; then key=$KEYA; else key=$KEYB; fi
  sha=$(printf '%s' "chave-integracao-$company" | sha256sum | cut -d' ' -f1)
  grep -q "\"file\":\"$key.xml\".*\"integration_key_sha256\":\"$sha\"" "$W/platform/journal.jsonl" ||
    fail "o documento da instância $company não chegou com a chave de integração dela"
done
! IN grep -q -e "$KEYA" -e "$KEYB" "$LOG" || fail "o log da instância sem nome fala dos documentos das outras"
# A company whose instance is only started from the package's template (not enabled), with the
# default period and no database: its first cycle comes within five minutes of its start, which
# its status and /INSTANCIAS say at once.
IN install -d -m 0700 /var/lib/quirada-contabil/gama
printf '[Morvant]\nServidor=127.0.0.1\nCaminho=/nenhum/GAMA.FDB\n' >"$M/var/lib/quirada-contabil/gama/Morvant.ini"
started=$(date +%s)
IN systemctl start SrvQuirada@gama.service
status_text() { IN systemctl show -p StatusText --value SrvQuirada@gama.service; }
wait_for '[[ "$(status_text)" == Próximo* ]]' || true
status_text=$(status_text)
first=$(sed -n 's|^Próximo ciclo: \([0-9]*\)/\([0-9]*\)/\([0-9]*\) \([0-9:]*\) (o primeiro desde a partida.*|\3-\2-\1 \4|p' <<<"$status_text")
[ -n "$first" ] || fail "o status de SrvQuirada@gama não diz o primeiro ciclo: '$status_text'"
first=$(date -d "$first" +%s)
[ "$first" -ge "$started" ] && [ "$first" -le $((started + 301)) ] ||
  fail "o primeiro ciclo de gama não vem em 5 minutos: '$status_text' (partida $(date -d @"$started"))"
json=$(IN "$EXE" /INSTANCIAS --json --instancia gama 2>/dev/null) || true
next=$(python3 -c 'import json,sys,datetime; print(int(datetime.datetime.fromisoformat(json.load(sys.stdin)[0]["proximo_ciclo"]).timestamp()))' <<<"$json") ||
  fail "/INSTANCIAS --json sem o próximo ciclo de gama: $json"
[ "$next" = "$first" ] || fail "/INSTANCIAS diz o próximo ciclo de gama em $next, o status em $first"
say "gama (modelo, só iniciada): primeiro ciclo $((first - started)) s depois da partida, dito no status e em /INSTANCIAS"

instances=$(IN "$EXE" /INSTANCIAS) && listed=0 || listed=$?
for expected in \
    "SrvQuirada (sem nome): pasta /opt/quirada-contabil/; serviço inactive;" \
    "SrvQuirada@acme (acme): pasta /srv/quirada/acme/; serviço active; último ciclo: " \
    "SrvQuirada@beta (beta): pasta /var/lib/quirada-contabil/beta/; serviço active; último ciclo: " \
    "SrvQuirada@gama (gama): pasta /var/lib/quirada-contabil/gama/; serviço active; último ciclo: nenhum registrado; pendentes: não contados (" \
    "4 instância(s) registrada(s)."; do
  grep -qF "$expected" <<<"$instances" || fail "/INSTANCIAS sem '$expected': $instances"
done
[ "$listed" = 0 ] || fail "/INSTANCIAS terminou com $listed, com todas as instâncias em dia: $instances"

# The metrics timer's service writes every instance's state where node_exporter reads it, and
# Prometheus's own tool reads it as valid.
IN install -d -m 0755 /var/lib/prometheus/node-exporter
IN systemctl start SrvQuirada-metricas.service || fail "SrvQuirada-metricas.service: $(IN journalctl -u SrvQuirada-metricas --no-pager | tail -n 5)"
PROM=$M/var/lib/prometheus/node-exporter/quirada.prom
for expected in 'quirada_instancia_ok{instancia="beta",servico="SrvQuirada@beta"} 1' \
    'quirada_instancia_ok{instancia="gama",servico="SrvQuirada@gama"} 1' \
    'quirada_ultimo_ciclo_falhou{instancia="acme",servico="SrvQuirada@acme"} 0'; do
  grep -qxF "$expected" "$PROM" || fail "$PROM sem '$expected': $(cat "$PROM")"
done
promtool check metrics <"$PROM" || fail "promtool recusa $PROM"
# node_exporter reads it as a user of its own (prometheus on Debian), not as root.
IN runuser -u nobody -- cat /var/lib/prometheus/node-exporter/quirada.prom >/dev/null ||
  fail "$PROM não pode ser lido por outro usuário que o root ($(stat -c '%a %U' "$PROM")): o node_exporter não o leria"
[ ! -e "$PROM.tmp" ] || fail "o arquivo temporário das métricas ficou"
say "SrvQuirada-metricas.service: $(grep -c '^quirada_' "$PROM") amostras em $PROM, válidas para o promtool"

# An upgrade (the same package again) restarts every instance that runs on the new program:
# new processes, none running the file the upgrade deleted.
declare -A before
for unit in SrvQuirada@acme SrvQuirada@beta SrvQuirada@gama; do before[$unit]=$(IN systemctl show -p MainPID --value $unit.service); done
IN dpkg -i /root/quirada-contabil.deb >"$W/dpkg-up2.log" 2>&1 || { cat "$W/dpkg-up2.log"; fail "atualização com instâncias"; }
for unit in SrvQuirada@acme SrvQuirada@beta SrvQuirada@gama; do
  renewed() {
    local pid
    pid=$(IN systemctl show -p MainPID --value $unit.service)
    [ "$pid" != 0 ] && [ "$pid" != "${before[$unit]}" ] && [ "$(IN systemctl is-active $unit.service)" = active ] &&
      [ "$(IN readlink /proc/$pid/exe)" = /opt/quirada-contabil/QuiradaContabil ]
  }
  wait_for renewed || fail "a atualização não reiniciou $unit no programa novo (PID ${before[$unit]} -> $(IN systemctl show -p MainPID --value $unit.service))"
done
say "atualização: acme, beta e gama reiniciadas (PIDs novos) no programa novo"

# Removing a running instance stops it first: nothing of it is left running.
# Its own message on standard output (systemctl's "Removed ..." goes to standard error).
uninstall_out=$(IN "$EXE" /UNINSTALL --instancia acme 2>"$W/uninstall-acme.err") ||
  fail "/UNINSTALL --instancia acme: $uninstall_out $(cat "$W/uninstall-acme.err")"
[ "$uninstall_out" = "Serviço SrvQuirada@acme parado.
Serviço desinstalado com sucesso" ] || fail "/UNINSTALL --instancia acme disse: $uninstall_out $(cat "$W/uninstall-acme.err")"
IN test ! -e /etc/systemd/system/SrvQuirada@acme.service || fail "/UNINSTALL deixou a unidade de acme"
[ "$(IN systemctl is-active SrvQuirada@acme.service || true)" = inactive ] || fail "SrvQuirada@acme ficou ativo depois de /UNINSTALL"
! IN pgrep -f -- '--instancia acme' >/dev/null || fail "um processo de acme ficou depois de /UNINSTALL"
[ "$(IN systemctl is-active SrvQuirada@beta.service)" = active ] || fail "/UNINSTALL de acme parou beta"
# The same for an instance of the template that is only started: stopped, and gone from the list.
IN "$EXE" /UNINSTALL --instancia GAMA >/dev/null 2>&1 || fail "/UNINSTALL --instancia GAMA"
[ "$(IN systemctl is-active SrvQuirada@gama.service || true)" = inactive ] || fail "SrvQuirada@gama ficou ativo depois de /UNINSTALL"
unknown=$(IN "$EXE" /UNINSTALL --instancia acme 2>&1) && fail "/UNINSTALL de acme, já removida, deu certo: $unknown"
grep -qF 'a instância "acme" não está registrada neste computador; QuiradaContabil /INSTANCIAS lista as instâncias registradas' <<<"$unknown" ||
  fail "/UNINSTALL de uma instância que não existe disse: $unknown"
instances=$(IN "$EXE" /INSTANCIAS) || true
! grep -q -e 'acme' -e 'gama' <<<"$instances" && grep -q 'SrvQuirada@beta (beta)' <<<"$instances" &&
  grep -q 'SrvQuirada (sem nome)' <<<"$instances" || fail "/INSTANCIAS depois de /UNINSTALL de acme e gama: $instances"
IN systemctl disable --now SrvQuirada@beta.service >/dev/null 2>&1
say "instâncias: acme (/INSTALL) e beta (modelo) enviaram cada uma o seu documento com a sua chave; /UNINSTALL de acme e gama, rodando, parou cada uma antes e deixou as outras"

# Folder names as an administrator may give them: what systemd would expand reaches the service
# as written (ExecStart escapes it), what systemd cannot take is refused naming its character.
# Table: folder name | a piece of the refusal ("" when installed). The service must then run in
# that very folder: its command line carries it, and its first cycle writes its log there.
long_name=""
for _ in $(seq 40); do long_name+="ação"; done
name_case() {
  local name=$1 refused=$2 folder instance out pid argv
  folder=/srv/quirada/nomes/$name
  instance=n$((++name_cases))
  IN install -d -m 0700 "$folder"
  printf '[Quirada]\nIntervaloSegundos=5\n' >"$M$folder/Morvant.ini"
  if ! out=$(IN "$EXE" /INSTALL --instancia "$instance" --pasta "$folder" 2>&1); then
    [ -n "$refused" ] || fail "/INSTALL recusou a pasta '$name': $out"
    grep -qF -- "$refused" <<<"$out" || fail "a recusa da pasta '$name' não diz '$refused': $out"
    IN test ! -e "/etc/systemd/system/SrvQuirada@$instance.service" || fail "unidade escrita para a pasta recusada '$name'"
    return
  fi
  [ -z "$refused" ] || fail "/INSTALL aceitou a pasta '$name': $out"
  IN systemctl start "SrvQuirada@$instance.service"
  wait_for "IN test -s '$folder/QuiradaContabil.log'" ||
    fail "a instância da pasta '$name' não escreveu o log nela: $(IN journalctl -u "SrvQuirada@$instance" --no-pager | tail -n 5)"
  pid=$(IN systemctl show -p MainPID --value "SrvQuirada@$instance.service")
  argv=$(IN cat "/proc/$pid/cmdline" | tr '\0' '\n' | sed -n '3p')
  [ "$argv" = "$folder" ] || fail "o serviço da pasta '$name' recebeu --pasta '$argv'"
  IN systemctl stop "SrvQuirada@$instance.service"
  IN "$EXE" /UNINSTALL --instancia "$instance" >/dev/null 2>&1 || fail "/UNINSTALL --instancia $instance"
}
name_cases=0
IN install -d -m 0755 /srv/quirada/nomes
name_case 'com espaço' ''
name_case '100%' ''
name_case 'dol${HOME}x' ''
name_case '$HOME' ''
name_case '%PROCESSOR_ARCHITECTURE%' ''
IN install -d -m 0755 "/srv/quirada/nomes/$long_name"
name_case "$long_name/$long_name" ''
name_case $'\xe7ao' 'não é texto UTF-8: o byte 0xE7'
name_case $'a\nb' 'o caractere de controle U+000A (quebra de linha)'
name_case $'a\tb' 'o caractere de controle U+0009 (tabulação)'
say "nomes de pasta: espaço, %, \${HOME}, \$HOME, %X% e 480 bytes de caracteres multibyte chegam ao serviço como escritos; não UTF-8, quebra de linha e tabulação recusados nomeando o caractere"

IN systemctl start SrvQuirada.service
log_before=$(log_text)
IN dpkg -r quirada-contabil >"$W/dpkg-r.log" 2>&1 || { cat "$W/dpkg-r.log"; fail "dpkg -r"; }
for unit in SrvQuirada.service SrvQuirada-once.service SrvQuirada-once.timer SrvQuirada-metricas.timer; do
  [ "$(IN systemctl show -p ActiveState --value "$unit")" = inactive ] || fail "$unit ativo após dpkg -r"
  [ "$(IN systemctl show -p LoadState --value "$unit")" = not-found ] || fail "o systemd ainda conhece $unit após dpkg -r"
done
[ "$(log_text)" = "$log_before" ] || fail "o log mudou ou sumiu com dpkg -r"
IN test -f /etc/quirada-contabil/Morvant.ini || fail "o INI sumiu com dpkg -r"
say "dpkg -r: serviço e temporizador parados, unidades esquecidas pelo systemd, INI e log mantidos"

IN dpkg -i /root/quirada-contabil.deb >"$W/dpkg-i2.log" 2>&1 || { cat "$W/dpkg-i2.log"; fail "dpkg -i depois do dpkg -r"; }
state=$(IN systemctl is-active SrvQuirada.service || true)
IN systemctl stop SrvQuirada.service
[ "$state" = active ] || fail "dpkg -i depois do dpkg -r, com o Caminho no INI, não iniciou o serviço ($state)"
! grep -qx 'Próximos passos:' "$W/dpkg-i2.log" || fail "próximos passos com o Caminho no INI"
say "dpkg -i depois do dpkg -r, com o INI do operador: habilitado e iniciado"
INNER
inner=0
unshare -m --propagation private bash "$W/inner.sh" </dev/null || inner=$?
[ "$inner" -eq 0 ] || exit "$inner"

rows=$(register_rows)
[ "$rows" = "7 C SA2
1 N SA2" ] || fail "registros inesperados em QUIRADA_ENVIOS_XML: $rows"
say "QUIRADA_ENVIOS_XML: $(tr '\n' ';' <<<"$rows")"
for db in "$DBA" "$DBB"; do
  rows=$(register_rows "$db")
  [ "$rows" = "1 N SA2" ] || fail "registros inesperados em QUIRADA_ENVIOS_XML de $db: $rows"
done
say "QUIRADA_ENVIOS_XML de cada instância: o seu documento"
say "ok"
