#!/usr/bin/env bash
# Tests the Debian package quirada-contabil on this machine (Debian 12, as root): builds it with
# scripts/package.sh, inspects it, installs it (the next steps it prints while the INI file names no
# ERP database; "/INSTALL" beside the package's unit), runs the installed program against a fresh
# ERP database on the test Firebird server (127.0.0.1:3050), removes it, installs it again, purges
# it (the INI folder and the service's files go); then runs the packaged units under a real systemd
# (packaging/check-under-systemd.sh). Any mismatch stops the script with a message and a non-zero
# status. Leaves nothing behind but the build in build-release/. Removes (purges) an installed
# quirada-contabil first: run it on a test machine only.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

PKG=quirada-contabil
HOME_DIR=/opt/quirada-contabil
ETC_DIR=/etc/quirada-contabil
INI=$ETC_DIR/Morvant.ini
LOG=$HOME_DIR/QuiradaContabil.log
UNITS=/lib/systemd/system
WANTS=/etc/systemd/system/multi-user.target.wants/SrvQuirada.service
TIMER_WANTS=/etc/systemd/system/timers.target.wants/SrvQuirada-once.timer
STATE_DIR=/var/lib/quirada-contabil
FB_DIR=/tmp/quirada-fb-tests
FB_PASSWORD="${QUIRADA_TEST_SYSDBA_PASSWORD:-gizmor}"

# Under /tmp: a copy of the program here is one that "/INSTALL" refuses.
WORK=$(mktemp -d /tmp/quirada-test-package.XXXXXX)
DB="$FB_DIR/pacote-$$.fdb"
DB_CREATED=no
FB_STARTED=no

fail() {
  echo "test-package: FALHOU: $*" >&2
  exit 1
}
step() { echo "test-package: $*"; }

# Compares two texts; on a mismatch shows both and fails.
expect_eq() {
  local what=$1 expected=$2 actual=$3
  if [ "$expected" != "$actual" ]; then
    echo "--- esperado ($what)" >&2
    printf '%s\n' "$expected" >&2
    echo "--- obtido ($what)" >&2
    printf '%s\n' "$actual" >&2
    fail "$what"
  fi
}

# "mode owner:group type" of a path, links not followed.
stat_of() { stat -c '%a %U:%G %F' "$1"; }

package_status() { dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null || echo "not-known"; }

isql() {
  isql-fb -q -user SYSDBA -password "$FB_PASSWORD" "$@"
}

purge_package() {
  case "$(package_status)" in
    not-known | "unknown ok not-installed") ;;
    *) dpkg -P "$PKG" >/dev/null ;;
  esac
}

cleanup() {
  local status=$?
  set +e
  purge_package 2>/dev/null
  # What a failed run may leave: the INI file, the service's files and the test database.
  rm -rf "$ETC_DIR" "$HOME_DIR" "$STATE_DIR"
  if [ "$DB_CREATED" = yes ]; then
    echo "DROP DATABASE;" | isql "127.0.0.1/3050:$DB" >/dev/null 2>&1 || rm -f "$DB"
  fi
  [ "$FB_STARTED" = started ] && scripts/firebird-server.sh stop >/dev/null 2>&1
  rm -rf "$WORK"
  exit $status
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] || fail "precisa de root (dpkg -i)"

case "$(package_status)" in
  not-known | "unknown ok not-installed") ;;
  *) step "removendo o $PKG que já estava instalado ($(package_status))" ;;
esac
purge_package
rm -rf "$ETC_DIR" "$HOME_DIR" "$STATE_DIR"

# ------------------------------------------------------------------------------------------------
step "construindo o pacote"
DEB=$(scripts/package.sh 2>"$WORK/package.log" | tail -n 1) || {
  cat "$WORK/package.log" >&2
  fail "scripts/package.sh"
}
[ -f "$DEB" ] || fail "scripts/package.sh não indicou um .deb: '$DEB'"

VERSION=$(sed -n 's/^project(QuiradaContabil VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$VERSION" ] || fail "versão não encontrada em project() do CMakeLists.txt"
expect_eq "nome do arquivo" "${PKG}_${VERSION}_amd64.deb" "$(basename "$DEB")"

# ------------------------------------------------------------------------------------------------
step "inspecionando $(basename "$DEB")"
expect_eq "conteúdo (dpkg-deb -c)" \
"drwxr-xr-x root/root ./etc/
drwxr-xr-x root/root ./etc/quirada-contabil/
-rw-r--r-- root/root ./etc/quirada-contabil/Morvant.ini
drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/systemd/
drwxr-xr-x root/root ./lib/systemd/system/
-rw-r--r-- root/root ./lib/systemd/system/SrvQuirada-metricas.service
-rw-r--r-- root/root ./lib/systemd/system/SrvQuirada-metricas.timer
-rw-r--r-- root/root ./lib/systemd/system/SrvQuirada-once.service
-rw-r--r-- root/root ./lib/systemd/system/SrvQuirada-once.timer
-rw-r--r-- root/root ./lib/systemd/system/SrvQuirada.service
-rw-r--r-- root/root ./lib/systemd/system/SrvQuirada@.service
drwxr-xr-x root/root ./opt/
drwxr-xr-x root/root ./opt/quirada-contabil/
lrwxrwxrwx root/root ./opt/quirada-contabil/Morvant.ini -> /etc/quirada-contabil/Morvant.ini
-rwxr-xr-x root/root ./opt/quirada-contabil/QuiradaContabil
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/quirada-contabil/
-rw-r--r-- root/root ./usr/share/doc/quirada-contabil/LEIAME.md" \
  "$(dpkg-deb -c "$DEB" | awk '{ $3 = ""; $4 = ""; $5 = ""; print }' | tr -s ' ' | LC_ALL=C sort -k 3)"

expect_eq "Package" "$PKG" "$(dpkg-deb -f "$DEB" Package)"
expect_eq "Version" "$VERSION" "$(dpkg-deb -f "$DEB" Version)"
expect_eq "Architecture" "$(dpkg --print-architecture)" "$(dpkg-deb -f "$DEB" Architecture)"
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
# Computed from the program's shared libraries, so each library it links names its package.
for lib in libc6 libstdc++6 libgcc-s1 libcurl4 libssl3 libfbclient2; do
  [[ ", $DEPENDS," == *", $lib "* || ", $DEPENDS," == *", $lib,"* ]] || fail "Depends sem $lib: $DEPENDS"
done

dpkg-deb -e "$DEB" "$WORK/control"
expect_eq "arquivos de controle" "conffiles control md5sums postinst postrm prerm" \
  "$(ls "$WORK/control" | tr '\n' ' ' | sed 's/ $//')"
expect_eq "conffiles" "$INI" "$(cat "$WORK/control/conffiles")"
for script in postinst prerm postrm; do
  expect_eq "modo de $script" "755" "$(stat -c %a "$WORK/control/$script")"
  sh -n "$WORK/control/$script" || fail "$script não é um script sh válido"
  cmp -s "$WORK/control/$script" "packaging/$script" || fail "$script difere de packaging/$script"
done

dpkg-deb -x "$DEB" "$WORK/tree"
# The example INI file leaves every key at its default: a program reading it sees no key at all.
if grep -Ev '^[[:space:]]*(;|#|$)' "$WORK/tree$INI" | grep -Evq '^\[(Morvant|Quirada)\]$'; then
  fail "o Morvant.ini de exemplo tem chaves ativas"
fi
for key in Servidor Caminho ApiUrl AuthUrl CAFile IntervaloSegundos; do
  grep -q "^;$key=" "$WORK/tree$INI" || fail "o Morvant.ini de exemplo não mostra a chave $key"
done

# The units: the sandbox's exposure as systemd rates it, and the timer's one-shot service carries
# the same sandbox as the long-running service.
for unit in SrvQuirada.service SrvQuirada-once.service SrvQuirada-metricas.service; do
  exposure=$(systemd-analyze security --offline=true --no-pager "$WORK/tree$UNITS/$unit" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  [ -n "$exposure" ] || fail "systemd-analyze security não avaliou $unit"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' || fail "exposição de $unit: $exposure (> 3.0)"
  step "exposição de $unit: $exposure"
done
sandbox() { sed -n '/^# Sandbox\./,/^$/p' "$1" | sed '/^$/d'; }
[ "$(sandbox "$WORK/tree$UNITS/SrvQuirada.service" | wc -l)" -gt 20 ] || fail "unidade sem o bloco do sandbox"
expect_eq "sandbox do SrvQuirada-once.service" "$(sandbox "$WORK/tree$UNITS/SrvQuirada.service")" \
  "$(sandbox "$WORK/tree$UNITS/SrvQuirada-once.service")"
# The metrics timer's service: the same sandbox, node_exporter's textfile folder the one it writes.
expect_eq "sandbox do SrvQuirada-metricas.service" \
  "$(sandbox "$WORK/tree$UNITS/SrvQuirada.service" | sed 's|^ReadWritePaths=.*|ReadWritePaths=/var/lib/prometheus/node-exporter /tmp|')" \
  "$(sandbox "$WORK/tree$UNITS/SrvQuirada-metricas.service")"
grep -qx "ExecStart=/bin/sh -c 'umask 022; /opt/quirada-contabil/QuiradaContabil /INSTANCIAS --prometheus >/var/lib/prometheus/node-exporter/quirada.prom.tmp; mv -f /var/lib/prometheus/node-exporter/quirada.prom.tmp /var/lib/prometheus/node-exporter/quirada.prom'" \
  "$WORK/tree$UNITS/SrvQuirada-metricas.service" || fail "SrvQuirada-metricas.service sem o ExecStart das métricas"
grep -qx 'Description=Quirada (%i)' "$WORK/tree$UNITS/SrvQuirada@.service" || fail "SrvQuirada@.service sem o nome da instância na descrição"
grep -qx 'ExecStart=/opt/quirada-contabil/QuiradaContabil /ONCE' "$WORK/tree$UNITS/SrvQuirada-once.service" ||
  fail "SrvQuirada-once.service sem ExecStart /ONCE"
grep -qx 'Type=oneshot' "$WORK/tree$UNITS/SrvQuirada-once.service" || fail "SrvQuirada-once.service sem Type=oneshot"
grep -qx 'SuccessExitStatus=3' "$WORK/tree$UNITS/SrvQuirada-once.service" ||
  fail "SrvQuirada-once.service sem SuccessExitStatus=3 (um documento recusado não é falha da unidade)"
grep -qx 'Conflicts=SrvQuirada.service' "$WORK/tree$UNITS/SrvQuirada-once.service" ||
  fail "SrvQuirada-once.service sem Conflicts=SrvQuirada.service"
for line in OnCalendar=hourly Persistent=true RandomizedDelaySec=300 Unit=SrvQuirada-once.service; do
  grep -qx "$line" "$WORK/tree$UNITS/SrvQuirada-once.timer" || fail "SrvQuirada-once.timer sem $line"
done
# Both services start after the network and after a Firebird server of this machine, and point to
# the operator's guide.
for unit in SrvQuirada.service SrvQuirada-once.service; do
  for line in Documentation=file:///usr/share/doc/$PKG/LEIAME.md Wants=network-online.target \
    After=network-online.target After=firebird3.0.service; do
    grep -qx "$line" "$WORK/tree$UNITS/$unit" || fail "$unit sem $line"
  done
done

# ------------------------------------------------------------------------------------------------
step "instalando com dpkg -i"
if ! dpkg -i "$DEB" >"$WORK/dpkg-i.log" 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -f -y >>"$WORK/dpkg-i.log" 2>&1 || {
    cat "$WORK/dpkg-i.log" >&2
    fail "dpkg -i / apt-get install -f"
  }
fi
expect_eq "estado após dpkg -i" "install ok installed" "$(package_status)"

# The example INI file names no database: the service is enabled, not started, and the operator
# reads what to do next.
NEXT_STEPS="quirada-contabil: o serviço SrvQuirada está habilitado, mas não foi iniciado: o Morvant.ini ainda não diz o Caminho do banco do ERP.
Próximos passos:
  1. Edite /etc/quirada-contabil/Morvant.ini: [Morvant] Servidor e Caminho.
  2. Confira: sudo /opt/quirada-contabil/QuiradaContabil /VERIFICAR
  3. Inicie o serviço: sudo systemctl start SrvQuirada
Guia do operador: /usr/share/doc/quirada-contabil/LEIAME.md"
next_steps_in() { sed -n '/^quirada-contabil: o serviço/,/^Guia do operador/p' "$1"; }
expect_eq "próximos passos do dpkg -i" "$NEXT_STEPS" "$(next_steps_in "$WORK/dpkg-i.log")"

expect_eq "arquivos instalados" \
"755 root:root directory $HOME_DIR
755 root:root regular file $HOME_DIR/QuiradaContabil
777 root:root symbolic link $HOME_DIR/Morvant.ini
755 root:root directory $ETC_DIR
644 root:root regular file $INI
644 root:root regular file $UNITS/SrvQuirada.service
644 root:root regular file $UNITS/SrvQuirada-metricas.service
644 root:root regular file $UNITS/SrvQuirada-metricas.timer
644 root:root regular file $UNITS/SrvQuirada-once.service
644 root:root regular file $UNITS/SrvQuirada-once.timer
644 root:root regular file $UNITS/SrvQuirada@.service
644 root:root regular file /usr/share/doc/$PKG/LEIAME.md" \
  "$(for p in "$HOME_DIR" "$HOME_DIR/QuiradaContabil" "$HOME_DIR/Morvant.ini" "$ETC_DIR" "$INI" \
       "$UNITS/SrvQuirada.service" "$UNITS/SrvQuirada-metricas.service" "$UNITS/SrvQuirada-metricas.timer" \
       "$UNITS/SrvQuirada-once.service" "$UNITS/SrvQuirada-once.timer" \
       "$UNITS/SrvQuirada@.service" "/usr/share/doc/$PKG/LEIAME.md"; do echo "$(stat_of "$p") $p"; done)"
# The template of named instances: the unit "/INSTALL --instancia" would write for the folder
# /var/lib/quirada-contabil/<name>, which systemd makes.
grep -qx 'ExecStart=/opt/quirada-contabil/QuiradaContabil --pasta /var/lib/quirada-contabil/%i --instancia %i' \
  "$UNITS/SrvQuirada@.service" || fail "SrvQuirada@.service sem o ExecStart da instância"
grep -qx 'StateDirectory=quirada-contabil/%i' "$UNITS/SrvQuirada@.service" &&
  grep -qx 'ReadWritePaths=/var/lib/quirada-contabil/%i /tmp' "$UNITS/SrvQuirada@.service" ||
  fail "SrvQuirada@.service sem a pasta da instância"
expect_eq "link do INI" "$INI" "$(readlink "$HOME_DIR/Morvant.ini")"
cmp -s "$INI" "$ROOT/packaging/Morvant.ini" || fail "$INI difere de packaging/Morvant.ini"
cmp -s "/usr/share/doc/$PKG/LEIAME.md" "$ROOT/LEIAME.md" || fail "LEIAME.md instalado difere do original"

# The service is enabled (a symlink, also without a running systemd); the timer is not.
expect_eq "SrvQuirada habilitado" "$UNITS/SrvQuirada.service" "$(readlink "$WANTS" || true)"
[ ! -e "$TIMER_WANTS" ] && [ ! -L "$TIMER_WANTS" ] || fail "o temporizador veio habilitado"

# "/INSTALL": the packaged unit is the one it writes for an executable in /opt/quirada-contabil;
# beside the package's unit it warns; an executable in /tmp, which the sandbox hides, is refused
# and no unit is written. Case: executable | switches | status | standard output | standard error.
mkdir -m 0755 "$WORK/tmp-copy"  # a folder only root may change: the refusal below is for /tmp alone
cp "$HOME_DIR/QuiradaContabil" "$WORK/tmp-copy/"
install_case() {
  local exe=$1 switches=$2 status=$3 out=$4 err=$5 actual=0
  rm -rf "$WORK/units"
  mkdir "$WORK/units"
  QUIRADA_SYSTEMD_DIR="$WORK/units" "$exe" $switches >"$WORK/install.out" 2>"$WORK/install.err" || actual=$?
  expect_eq "estado de $exe $switches" "$status" "$actual"
  expect_eq "saída de $exe $switches" "$out" "$(cat "$WORK/install.out")"
  expect_eq "erros de $exe $switches" "$err" "$(cat "$WORK/install.err")"
  if [ "$status" -eq 0 ]; then
    [ -f "$WORK/units/SrvQuirada.service" ] || fail "$exe $switches não gravou a unidade"
  else
    [ -z "$(ls -A "$WORK/units")" ] || fail "$exe $switches gravou em $WORK/units: $(ls -A "$WORK/units")"
  fi
}
install_case "$WORK/tmp-copy/QuiradaContabil" /INSTALL 1 "" \
  "Falha ao instalar o serviço \"SrvQuirada\" com erro: \"o executável está em $WORK/tmp-copy, que o serviço isolado pelo systemd não enxerga (/tmp, /var/tmp, /home, /root, /run/user); copie-o para uma pasta como /opt/quirada-contabil\""
install_case "$WORK/tmp-copy/QuiradaContabil" "/INSTALL /SILENT" 1 "" ""
install_case "$HOME_DIR/QuiradaContabil" /INSTALL 0 "Serviço instalado com sucesso
Aviso: a unidade $WORK/units/SrvQuirada.service encobre a do pacote quirada-contabil ($UNITS/SrvQuirada.service); para voltar à do pacote, rode /UNINSTALL" ""
install_case "$HOME_DIR/QuiradaContabil" "/INSTALL /SILENT" 0 "" ""
cmp "$WORK/units/SrvQuirada.service" "$UNITS/SrvQuirada.service" ||
  fail "a unidade do pacote difere da que /INSTALL escreve"

# systemd reads the units without a complaint.
verify=$(systemd-analyze verify "$UNITS/SrvQuirada.service" "$UNITS/SrvQuirada-once.service" \
  "$UNITS/SrvQuirada-once.timer" "$UNITS/SrvQuirada-metricas.service" "$UNITS/SrvQuirada-metricas.timer" \
  2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"

# ------------------------------------------------------------------------------------------------
step "criando um banco do ERP no servidor Firebird de testes"
FB_STARTED=$(scripts/firebird-server.sh start)
if [ ! -d "$FB_DIR" ]; then
  mkdir -p "$FB_DIR"
  chmod 1777 "$FB_DIR"
fi
# The tests that change SYSDBA's password wait for this shared lock.
(umask 000 && : >>"$FB_DIR/sysdba-password.lock")
exec 9<"$FB_DIR/sysdba-password.lock"
flock -s 9

echo "CREATE DATABASE '127.0.0.1/3050:$DB' USER 'SYSDBA' PASSWORD '$FB_PASSWORD' DEFAULT CHARACTER SET ISO8859_1;" |
  isql-fb -q >"$WORK/isql.log" 2>&1 || { cat "$WORK/isql.log" >&2; fail "CREATE DATABASE"; }
DB_CREATED=yes
isql -i testing/erp_schema.sql "127.0.0.1/3050:$DB" >"$WORK/isql.log" 2>&1 ||
  { cat "$WORK/isql.log" >&2; fail "erp_schema.sql"; }

KEY_NOTE=35251112345678000190550010000000011000000019
KEY_SENT=35251112345678000190550010000000021000000028
KEY_OLD=35251112345678000190550010000000031000000037
KEY_CANC=35251112345678000190550010000000041000000046
XML_NOTE="<?xml version=\"1.0\" encoding=\"UTF-8\"?><nfeProc><NFe><infNFe Id=\"NFe$KEY_NOTE\"/></NFe></nfeProc>"
XML_CANC="<?xml version=\"1.0\" encoding=\"UTF-8\"?><procEventoNFe><chNFe>$KEY_CANC</chNFe></procEventoNFe>"
isql "127.0.0.1/3050:$DB" >"$WORK/isql.log" 2>&1 <<SQL || { cat "$WORK/isql.log" >&2; fail "dados de teste"; }
INSERT INTO PADRAOII VALUES (1, 'chave-contabilidade', 'chave-integracao', CURRENT_DATE - 30, 'Y', 'Y', 'Y', 'Y', 'Y');
INSERT INTO NOTASENTRADASESAIDAS VALUES (1, '$KEY_NOTE', '$XML_NOTE', CURRENT_DATE, '55', 'P', 'E');
INSERT INTO NOTASENTRADASESAIDAS VALUES (2, '$KEY_SENT', '$XML_NOTE', CURRENT_DATE, '55', 'P', 'E');
INSERT INTO NOTASENTRADASESAIDAS VALUES (3, '$KEY_OLD', '$XML_NOTE', CURRENT_DATE - 200, '55', 'P', 'E');
INSERT INTO XML_CANCELAMENTO VALUES (7, '$KEY_CANC', '$XML_CANC', CURRENT_TIMESTAMP);
INSERT INTO QUIRADA_ENVIOS_XML VALUES (2, 'N', CURRENT_TIMESTAMP, 'lote-1', 'S1');
COMMIT;
SQL

# Nothing listens on port 1: a cycle fails at its first request and says so in the log.
cat >"$INI" <<INI
[Morvant]
Servidor=127.0.0.1
Caminho=$DB

[Quirada]
ApiUrl=https://127.0.0.1:1
AuthUrl=https://127.0.0.1:1
INI

# ------------------------------------------------------------------------------------------------
step "rodando o programa instalado: /PENDING e /ONCE"
pending=$(cd / && "$HOME_DIR/QuiradaContabil" /PENDING 2>"$WORK/pending.err") ||
  { cat "$WORK/pending.err" >&2; fail "/PENDING terminou com erro"; }
# The size is the XML file's: the text and its CR LF.
expect_eq "/PENDING" \
"1 N $KEY_NOTE $((${#XML_NOTE} + 2))
7 C $KEY_CANC $((${#XML_CANC} + 2))
2 documento(s) pendente(s).
Por tipo: 1 nota(s) fiscal(is) (N), 1 cancelamento(s) (C)." "$pending"
[ ! -e "$LOG" ] || fail "/PENDING escreveu no log do serviço"

set +e
(cd / && "$HOME_DIR/QuiradaContabil" /ONCE >"$WORK/once.out" 2>&1)
once_status=$?
set -e
expect_eq "estado de saída do /ONCE sem a plataforma" 1 "$once_status"
[ -f "$LOG" ] || fail "/ONCE não escreveu $LOG"
grep -Eq '^[0-3][0-9]/[01][0-9]/20[0-9]{2} [0-2][0-9]:[0-5][0-9]:[0-5][0-9] - .+' "$LOG" ||
  fail "linha de log inesperada: $(cat "$LOG")"
cp -p "$LOG" "$WORK/log.before"
cp -p "$INI" "$WORK/ini.before"
# The operator chose the timer: its removal disables it as well.
systemctl enable SrvQuirada-once.timer >/dev/null 2>&1
[ -L "$TIMER_WANTS" ] || fail "systemctl enable SrvQuirada-once.timer não criou $TIMER_WANTS"

# ------------------------------------------------------------------------------------------------
step "removendo com dpkg -r"
dpkg -r "$PKG" >"$WORK/dpkg-r.log" 2>&1 || { cat "$WORK/dpkg-r.log" >&2; fail "dpkg -r"; }
expect_eq "estado após dpkg -r" "deinstall ok config-files" "$(package_status)"
for unit in SrvQuirada.service SrvQuirada-once.service SrvQuirada-once.timer SrvQuirada-metricas.service \
  SrvQuirada-metricas.timer; do
  [ ! -e "$UNITS/$unit" ] || fail "$UNITS/$unit ficou após dpkg -r"
done
[ ! -e "$WANTS" ] && [ ! -L "$WANTS" ] || fail "SrvQuirada ficou habilitado após dpkg -r"
[ ! -e "$TIMER_WANTS" ] && [ ! -L "$TIMER_WANTS" ] || fail "o temporizador ficou habilitado após dpkg -r"
[ ! -e "$HOME_DIR/QuiradaContabil" ] || fail "o executável ficou após dpkg -r"
[ ! -L "$HOME_DIR/Morvant.ini" ] || fail "o link do INI ficou após dpkg -r"
cmp -s "$INI" "$WORK/ini.before" || fail "o INI mudou ou sumiu com dpkg -r"
cmp -s "$LOG" "$WORK/log.before" || fail "o log mudou ou sumiu com dpkg -r"

step "instalando de novo: volta habilitado, com o INI do operador"
dpkg -i "$DEB" >"$WORK/dpkg-i2.log" 2>&1 || { cat "$WORK/dpkg-i2.log" >&2; fail "segundo dpkg -i"; }
expect_eq "estado após o segundo dpkg -i" "install ok installed" "$(package_status)"
expect_eq "SrvQuirada habilitado de novo" "$UNITS/SrvQuirada.service" "$(readlink "$WANTS" || true)"
cmp -s "$INI" "$WORK/ini.before" || fail "o segundo dpkg -i trocou o INI do operador"
[ -z "$(next_steps_in "$WORK/dpkg-i2.log")" ] || fail "o segundo dpkg -i, com um INI que diz o Caminho, mostrou os próximos passos"
[ ! -e "$STATE_DIR" ] || fail "$STATE_DIR ficou após a reinstalação"
pending_again=$(cd / && "$HOME_DIR/QuiradaContabil" /PENDING 2>&1) || fail "/PENDING após reinstalar: $pending_again"
expect_eq "/PENDING após reinstalar" "$pending" "$pending_again"

step "atualizando (o mesmo .deb de novo): a escolha do operador fica"
systemctl disable SrvQuirada.service >/dev/null 2>&1
[ ! -L "$WANTS" ] || fail "systemctl disable SrvQuirada.service não tirou $WANTS"
dpkg -i "$DEB" >"$WORK/dpkg-i3.log" 2>&1 || { cat "$WORK/dpkg-i3.log" >&2; fail "dpkg -i por cima"; }
expect_eq "estado após a atualização" "install ok installed" "$(package_status)"
[ ! -e "$WANTS" ] && [ ! -L "$WANTS" ] || fail "a atualização habilitou de novo o serviço desabilitado"
cmp -s "$INI" "$WORK/ini.before" || fail "a atualização trocou o INI do operador"

# ------------------------------------------------------------------------------------------------
step "purgando com dpkg -P: saem o INI e o que o serviço gravou, um banco na pasta fica"
# What the service writes beside its executable: the log, the lock file and the last cycle's line
# (from /ONCE above) and the XML file a cut-short cycle leaves. An operator's file there (the default database) stays.
: >"$HOME_DIR/$KEY_NOTE.xml"
: >"$HOME_DIR/MORVANT.FDB"
: >"$ETC_DIR/ca-extra.pem"
for f in "$LOG" "$HOME_DIR/QuiradaContabil.lock" "$HOME_DIR/QuiradaContabil.ciclo" "$HOME_DIR/$KEY_NOTE.xml"; do
  [ -f "$f" ] || fail "$f não existe antes da purga"
done
dpkg -P "$PKG" >"$WORK/dpkg-p.log" 2>&1 || { cat "$WORK/dpkg-p.log" >&2; fail "dpkg -P"; }
case "$(package_status)" in
  not-known | "unknown ok not-installed") ;;
  *) fail "estado após dpkg -P: $(package_status)" ;;
esac
[ ! -e "$UNITS/SrvQuirada.service" ] || fail "a unidade ficou após dpkg -P"
[ ! -e "$WANTS" ] && [ ! -L "$WANTS" ] || fail "SrvQuirada ficou habilitado após dpkg -P"
[ ! -e "$ETC_DIR" ] || fail "$ETC_DIR ficou após dpkg -P: $(ls -A "$ETC_DIR")"
expect_eq "$HOME_DIR após dpkg -P" "MORVANT.FDB" "$(ls -A "$HOME_DIR")"
[ ! -e "$STATE_DIR" ] || fail "$STATE_DIR ficou após dpkg -P"
rm -rf "$HOME_DIR"

# ------------------------------------------------------------------------------------------------
step "sob um systemd de verdade (systemd-nspawn)"
export QUIRADA_LOCAL_PLATFORM="${QUIRADA_LOCAL_PLATFORM:-$ROOT/build-test/quirada-local-platform}"
[ -x "$QUIRADA_LOCAL_PLATFORM" ] ||
  fail "plataforma local não encontrada em $QUIRADA_LOCAL_PLATFORM (scripts/test.sh a constrói em build-test/)"
systemd_check=0
packaging/check-under-systemd.sh "$DEB" || systemd_check=$?
case "$systemd_check" in
  0) ;;
  77) echo "test-package: AVISO: verificação sob systemd PULADA, esta máquina não sobe um contêiner com systemd" >&2 ;;
  *) fail "packaging/check-under-systemd.sh" ;;
esac

step "ok"
