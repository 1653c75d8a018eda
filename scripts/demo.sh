#!/usr/bin/env bash
# Shows Quirada Contábil doing its whole job on one machine: an ERP database with a handful of
# fiscal documents of every kind, the local accounting platform, and one dispatch cycle.
#
#   scripts/demo.sh [--build-dir DIR] [--no-build] [--rule RULE]...
#
# Installs what is missing (scripts/install-deps.sh), configures build/ (or DIR) and builds the
# program and the local platform there unless --no-build, starts Firebird when it is not running (and stops it at the end only then), creates
# the demo database /var/tmp/quirada-demo/db/DEMO.FDB anew, starts the local platform, writes a run
# folder (/var/tmp/quirada-demo/run/) with a copy of the service and its Morvant.ini, and runs
# "/PENDING", "/ONCE" and "/PENDING" again. It prints the platform's journal, the register rows and
# the service log, and checks that every register row matches a batch the platform accepted.
# Each --rule goes to the local platform (see quirada-local-platform --help), e.g. --rule 'status:*=EA0'
# to watch documents that the platform does not accept stay pending.
# Exit status: 0 when the cycle ran and the register matches the journal, non-zero otherwise.
# Debian 12, as root; safe to run again (everything under /var/tmp/quirada-demo/ is made anew).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
# The service works only in a folder that no one but root and its own user may change (nor the
# folders above it, nor its files): whatever the caller's umask, nothing here is group-writable.
umask 022

BUILD_DIR=build
BUILD=yes
RULES=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) BUILD_DIR=${2:?--build-dir wants a folder}; shift 2 ;;
    --no-build) BUILD=no; shift ;;
    --rule) RULES+=(--rule "${2:?--rule wants a rule}"); shift 2 ;;
    -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--build-dir DIR] [--no-build] [--rule RULE]..." >&2; exit 2 ;;
  esac
done
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac

DEMO_DIR=/var/tmp/quirada-demo
DB_DIR=$DEMO_DIR/db
DB_PATH=$DB_DIR/DEMO.FDB
DB="127.0.0.1/3050:$DB_PATH"
PLATFORM_DIR=$DEMO_DIR/platform
RUN_DIR=$DEMO_DIR/run
PASSWORD=gizmor  # the service's first password; scripts/firebird-server.sh sets it

# The service may be a sanitizer build (the test build); the Firebird client's own allocations are
# not its leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/tests/lsan.supp:print_suppressions=0}"

step() { printf '\n=== %s\n' "$*"; }
isql() { isql-fb -q -b -user SYSDBA -password "$PASSWORD" "$@"; }

firebird_state=""
platform_pid=""
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  if [ -n "$platform_pid" ]; then
    kill -TERM "$platform_pid" 2>/dev/null || true
    wait "$platform_pid" 2>/dev/null || true
  fi
  if [ "$firebird_state" = started ]; then
    "$ROOT/scripts/firebird-server.sh" stop || true
  fi
}
trap cleanup EXIT

if [ "$BUILD" = yes ]; then
  step "Installing the packages"
  scripts/install-deps.sh
  step "Building in $BUILD_DIR"
  [ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S . -B "$BUILD_DIR" -G Ninja
  # Only what the demo runs: the program and the local platform, not the tests.
  cmake --build "$BUILD_DIR" --target QuiradaContabil quirada-local-platform
fi
SERVICE_EXE=$BUILD_DIR/QuiradaContabil
PLATFORM_EXE=$BUILD_DIR/quirada-local-platform
for exe in "$SERVICE_EXE" "$PLATFORM_EXE"; do
  [ -x "$exe" ] || { echo "missing $exe (build first)" >&2; exit 1; }
done

step "Starting Firebird"
firebird_state=$(scripts/firebird-server.sh start)
echo "Firebird: $firebird_state"

step "Creating the ERP database $DB_PATH"
mkdir -p "$DB_DIR"
chown firebird:firebird "$DB_DIR"
if [ -e "$DB_PATH" ]; then
  echo "DROP DATABASE;" | isql "$DB" >/dev/null 2>&1 || rm -f "$DB_PATH"
fi
echo "CREATE DATABASE '$DB' USER 'SYSDBA' PASSWORD '$PASSWORD' PAGE_SIZE 8192 DEFAULT CHARACTER SET ISO8859_1;" |
  isql-fb -q -b
isql -i testing/erp_schema.sql "$DB"

# Access keys: state 35, year and month, issuer, model, series 1, number, form 1, code, check digit.
access_key() {  # model number issuer
  local base weights=(2 3 4 5 6 7 8 9) sum=0 i digit rest
  base=$(printf '35%s%s%s001%09d1%08d' "$(date +%y%m)" "$3" "$1" "$2" "$((2 + 13 * $2))")
  for ((i = 0; i < 43; i++)); do
    digit=${base:$((42 - i)):1}
    sum=$((sum + digit * weights[i % 8]))
  done
  rest=$((sum % 11))
  printf '%s%d' "$base" "$((rest < 2 ? 0 : 11 - rest))"
}
OWN=98765432000110       # the company (the platform's "Comércio Exemplo Ltda")
SUPPLIER=11222333000181
K1=$(access_key 55 101 $OWN); K2=$(access_key 55 102 $OWN); K3=$(access_key 55 103 $OWN)
K4=$(access_key 55 7741 $SUPPLIER); K5=$(access_key 65 2001 $OWN); K6=$(access_key 65 2002 $OWN)
K7=$(access_key 59 310 $OWN); K8=$(access_key 55 6120 $SUPPLIER)
NFE='xmlns="http://www.portalfiscal.inf.br/nfe"'

# Written here in UTF-8 and fed to the ISO8859_1 database as Latin-1 bytes.
cat >"$DEMO_DIR/data.utf8.sql" <<EOF
INSERT INTO PADRAOII VALUES (1, 'b3f1c2d4-5e6f-4a7b-8c9d-0e1f2a3b4c5d', 'c9e8d7f6-a5b4-4c3d-9e2f-1a0b9c8d7e6f',
  CURRENT_DATE - 30, 'Y', 'Y', 'Y', 'Y', 'Y');

-- Own NF-e, authorised ("E"): one declared UTF-8, one declared ISO-8859-1, both with accents.
INSERT INTO NOTASENTRADASESAIDAS VALUES (1, '$K1',
  '<?xml version="1.0" encoding="UTF-8"?><nfeProc versao="4.00" $NFE><NFe><infNFe Id="NFe$K1" versao="4.00"><ide><mod>55</mod><serie>1</serie><nNF>101</nNF><natOp>Venda de mercadoria</natOp></ide><emit><CNPJ>$OWN</CNPJ><xNome>Comércio Exemplo Ltda</xNome></emit><dest><xNome>José da Conceição</xNome></dest><det nItem="1"><prod><xProd>Pão de açúcar 500 g</xProd><vProd>12.90</vProd></prod></det></infNFe></NFe></nfeProc>',
  CURRENT_DATE - 5, '55', 'P', 'E');
INSERT INTO NOTASENTRADASESAIDAS VALUES (2, '$K2',
  '<?xml version="1.0" encoding="ISO-8859-1"?><nfeProc versao="4.00" $NFE><NFe><infNFe Id="NFe$K2" versao="4.00"><ide><mod>55</mod><serie>1</serie><nNF>102</nNF><natOp>Venda de mercadoria</natOp></ide><emit><CNPJ>$OWN</CNPJ><xNome>Comércio Exemplo Ltda</xNome></emit><dest><xNome>Lanchonete Açaí &amp; Cia</xNome></dest><det nItem="1"><prod><xProd>Açaí orgânico 1 kg</xProd><vProd>48.00</vProd></prod></det></infNFe></NFe></nfeProc>',
  CURRENT_DATE - 4, '55', 'P', 'E');
-- Own NF-e that was cancelled ("C"): never sent as a note; its cancellation is.
INSERT INTO NOTASENTRADASESAIDAS VALUES (3, '$K3',
  '<?xml version="1.0" encoding="UTF-8"?><nfeProc versao="4.00" $NFE><NFe><infNFe Id="NFe$K3" versao="4.00"><ide><mod>55</mod><nNF>103</nNF></ide></infNFe></NFe></nfeProc>',
  CURRENT_DATE - 3, '55', 'P', 'C');
-- NF-e received from a supplier: sent whatever its status.
INSERT INTO NOTASENTRADASESAIDAS VALUES (4, '$K4',
  '<?xml version="1.0" encoding="UTF-8"?><nfeProc versao="4.00" $NFE><NFe><infNFe Id="NFe$K4" versao="4.00"><ide><mod>55</mod><nNF>7741</nNF></ide><emit><CNPJ>$SUPPLIER</CNPJ><xNome>Distribuidora São João S.A.</xNome></emit><dest><CNPJ>$OWN</CNPJ></dest></infNFe></NFe></nfeProc>',
  CURRENT_DATE - 6, '55', 'T', 'A');
-- NFC-e (model 65).
INSERT INTO NOTASENTRADASESAIDAS VALUES (5, '$K5',
  '<?xml version="1.0" encoding="UTF-8"?><nfeProc versao="4.00" $NFE><NFe><infNFe Id="NFe$K5" versao="4.00"><ide><mod>65</mod><nNF>2001</nNF></ide><det nItem="1"><prod><xProd>Café torrado 250 g</xProd></prod></det></infNFe></NFe></nfeProc>',
  CURRENT_DATE - 2, '65', 'P', 'E');
INSERT INTO NOTASENTRADASESAIDAS VALUES (6, '$K6',
  '<?xml version="1.0" encoding="UTF-8"?><nfeProc versao="4.00" $NFE><NFe><infNFe Id="NFe$K6" versao="4.00"><ide><mod>65</mod><nNF>2002</nNF></ide><det nItem="1"><prod><xProd>Feijão carioca 1 kg</xProd></prod></det></infNFe></NFe></nfeProc>',
  CURRENT_DATE - 1, '65', 'P', 'E');
-- SAT CF-e (model 59).
INSERT INTO NOTASENTRADASESAIDAS VALUES (7, '$K7',
  '<?xml version="1.0" encoding="UTF-8"?><CFe><infCFe Id="CFe$K7" versao="0.08"><ide><mod>59</mod><nCFe>000310</nCFe></ide><emit><CNPJ>$OWN</CNPJ><xNome>Comércio Exemplo Ltda</xNome></emit><det nItem="1"><prod><xProd>Maçã gala kg</xProd></prod></det></infCFe></CFe>',
  CURRENT_DATE - 1, '59', 'P', 'E');
-- Older than the start date and the 180-day window: never sent.
INSERT INTO NOTASENTRADASESAIDAS VALUES (8, '$K8',
  '<?xml version="1.0" encoding="UTF-8"?><nfeProc versao="4.00" $NFE><NFe><infNFe Id="NFe$K8" versao="4.00"><ide><mod>55</mod><nNF>6120</nNF></ide></infNFe></NFe></nfeProc>',
  CURRENT_DATE - 200, '55', 'T', 'A');
-- The cancellation of note 3 (same SEQUENCIAL as note 1: the register tells them apart by kind).
INSERT INTO XML_CANCELAMENTO VALUES (1, '$K3',
  '<?xml version="1.0" encoding="UTF-8"?><procEventoNFe versao="1.00" $NFE><evento versao="1.00"><infEvento Id="ID110111${K3}01"><chNFe>$K3</chNFe><tpEvento>110111</tpEvento><detEvento versao="1.00"><descEvento>Cancelamento</descEvento><xJust>Nota emitida com o destinatário errado</xJust></detEvento></infEvento></evento></procEventoNFe>',
  CURRENT_TIMESTAMP - 2);
COMMIT;
EOF
iconv -f UTF-8 -t ISO-8859-1 "$DEMO_DIR/data.utf8.sql" >"$DEMO_DIR/data.sql"
isql -ch ISO8859_1 -i "$DEMO_DIR/data.sql" "$DB"
echo "8 notes (6 to send), 1 cancellation, settings with both keys and every flag \"Y\""

step "Starting the local platform"
rm -rf "$PLATFORM_DIR"
mkdir -p "$PLATFORM_DIR"
"$PLATFORM_EXE" --dir "$PLATFORM_DIR" "${RULES[@]}" >"$PLATFORM_DIR/output.txt" 2>&1 &
platform_pid=$!
for _ in $(seq 1 300); do
  [ -s "$PLATFORM_DIR/port" ] && break
  kill -0 "$platform_pid" 2>/dev/null || { cat "$PLATFORM_DIR/output.txt" >&2; exit 1; }
  sleep 0.1
done
[ -s "$PLATFORM_DIR/port" ] || { echo "the local platform did not start" >&2; exit 1; }
PORT=$(cat "$PLATFORM_DIR/port")
echo "https://localhost:$PORT (CA $PLATFORM_DIR/ca.pem)"

step "Writing the run folder $RUN_DIR"
rm -rf "$RUN_DIR"
mkdir -p "$RUN_DIR/tmp"
chmod go-w "$DEMO_DIR"  # made by an earlier demo, perhaps under another umask
cp "$SERVICE_EXE" "$RUN_DIR/"
chmod 0755 "$RUN_DIR/QuiradaContabil"
printf '%s\r\n' \
  "[Morvant]" \
  "Servidor=127.0.0.1" \
  "Caminho=$DB_PATH" \
  "" \
  "[Quirada]" \
  "ApiUrl=https://localhost:$PORT" \
  "AuthUrl=https://localhost:$PORT" \
  "CAFile=$PLATFORM_DIR/ca.pem" >"$RUN_DIR/Morvant.ini"
cat "$RUN_DIR/Morvant.ini"

# The token file lives in the temporary folder: a folder of the run's own, so that a token of an
# earlier demo's platform is never offered to this one.
service() { TMPDIR="$RUN_DIR/tmp" "$RUN_DIR/QuiradaContabil" "$@"; }

step "QuiradaContabil /PENDING"
service /PENDING

step "QuiradaContabil /ONCE"
once_status=0
service /ONCE || once_status=$?
echo "exit status $once_status"

step "What the platform received (journal.jsonl)"
python3 - "$PLATFORM_DIR/journal.jsonl" <<'EOF'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    j = json.loads(line)
    out = [j["time"][11:23], j["method"], j["path"], str(j["status"])]
    if "file" in j:
        out.append("file=%s bytes=%d sha256=%s" % (j["file"], j["bytes"], j["sha256"][:16]))
    for key in ("batch", "code", "fault"):
        if key in j:
            out.append("%s=%s" % (key, j[key]))
    print("  " + " ".join(out))
EOF

step "Register rows (QUIRADA_ENVIOS_XML)"
echo "SELECT SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, CODIGORETORNO FROM QUIRADA_ENVIOS_XML ORDER BY TIPOXML DESC, SEQUENCIAL;" |
  isql "$DB"

step "Service log ($RUN_DIR/QuiradaContabil.log)"
if [ -f "$RUN_DIR/QuiradaContabil.log" ]; then
  iconv -f ISO-8859-1 -t UTF-8 "$RUN_DIR/QuiradaContabil.log" | tr -d '\r'
else
  echo "(no log: nothing went wrong)"
fi

step "QuiradaContabil /PENDING again"
service /PENDING

step "Checking the register against the platform's journal"
# One line per register row: SEQUENCIAL|TIPOXML|ID_ENVIO|CODIGORETORNO.
printf '%s\n' "SET HEADING OFF;" \
  "SELECT SEQUENCIAL || '|' || TIPOXML || '|' || COALESCE(ID_ENVIO, '') || '|' || COALESCE(CODIGORETORNO, '') FROM QUIRADA_ENVIOS_XML;" |
  isql "$DB" | sed '/^[[:space:]]*$/d' >"$DEMO_DIR/register.txt"
check_status=0
python3 - "$PLATFORM_DIR/journal.jsonl" "$DEMO_DIR/register.txt" <<'EOF' || check_status=$?
import json, sys
journal = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
uploads = {j["batch"]: j for j in journal if "file" in j and j.get("batch")}
states = {j["batch"]: j for j in journal if j["method"] == "GET" and j.get("batch") and j["status"] == 200}
rows = [line.strip().split("|") for line in open(sys.argv[2], encoding="latin-1") if line.strip()]
problems = []
for seq, kind, batch, code in rows:
    if batch not in uploads:
        problems.append("row %s/%s names batch %r, which the platform never created" % (seq, kind, batch))
    elif batch not in states or states[batch]["code"] != code:
        problems.append("row %s/%s holds code %r, not the batch state the platform reported" % (seq, kind, code))
accepted = [b for b, s in states.items() if s["code"] not in ("E0", "EA0", "EB0")]
if len(rows) != len(accepted):
    problems.append("%d register rows, but the platform accepted %d documents" % (len(rows), len(accepted)))
for p in problems:
    print("  MISMATCH: " + p)
if not problems:
    print("  %d register rows, each one a batch the platform created and reported %s"
          % (len(rows), "/".join(sorted({r[3] for r in rows})) or "-"))
sys.exit(1 if problems else 0)
EOF

if [ "$once_status" -ne 0 ]; then
  echo "The cycle failed (QuiradaContabil /ONCE exit status $once_status); see the service log above." >&2
  exit "$once_status"
fi
exit "$check_status"
