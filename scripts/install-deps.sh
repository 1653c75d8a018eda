#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the demo need.
# Idempotent; runs as root (or through sudo) on Debian 12.
set -euo pipefail

SYSDBA_PASSWORD="${QUIRADA_TEST_SYSDBA_PASSWORD:-gizmor}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  rapidjson-dev
  firebird3.0-server firebird3.0-utils firebird-dev libfbclient2
  python3 procps iproute2 curl dpkg-dev systemd systemd-container
  clang libclang-rt-14-dev
  # promtool, which reads what "/INSTANCIAS --prometheus" writes as Prometheus does (the server
  # that comes with it is never started by the tests; the package test's container masks it).
  prometheus
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A fresh install of the Firebird server otherwise sets a random SYSDBA password.
  echo "firebird3.0-server shared/firebird/sysdba_password/first_install password ${SYSDBA_PASSWORD}" \
    | $SUDO debconf-set-selections
  echo "firebird3.0-server shared/firebird/enabled boolean true" | $SUDO debconf-set-selections || true
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
