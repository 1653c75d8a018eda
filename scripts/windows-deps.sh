#!/usr/bin/env bash
# Installs the tools of the Windows cross-build and builds its libraries, statically, for
# x86_64-w64-mingw32 (MinGW-w64 with the posix thread model):
#   - OpenSSL, from Debian's own source package;
#   - curl (libcurl only, HTTP and HTTPS over that OpenSSL, nothing else), from Debian's source package;
#   - GoogleTest and GoogleMock, from the sources that Debian's googletest package puts in /usr/src.
# It also links the platform-neutral headers of RapidJSON and of the Firebird OO API into the prefix
# (see cmake/mingw-w64-x86_64.cmake for why they are not taken from /usr/include directly).
#
#   scripts/windows-deps.sh                     # as root on Debian 12; idempotent
#   prefix=$(scripts/windows-deps.sh)           # the last line of stdout is the prefix, and the only one
#
# The libraries go into $QUIRADA_WINDOWS_DEPS_CACHE/<key> (default /var/cache/quirada-windows-deps),
# outside the checkout, where <key> names the versions of OpenSSL, curl, GoogleTest and the MinGW-w64
# compiler and C runtime, and this script's build recipe revision. A run that finds a finished prefix
# for the same key changes nothing and takes about a second; a first run takes about 4 minutes at
# -j2 on an otherwise idle 2-core machine (8 while another build runs beside it).
# Progress goes to stderr; each build's log goes to <prefix>/logs/, and a failing step shows the
# tail of its log.
#
# Environment:
#   QUIRADA_WINDOWS_DEPS_CACHE  where the prefixes, the downloaded sources and the work trees live
#   QUIRADA_WINDOWS_DEPS_JOBS   parallel make jobs (default 2: the machines have 2 cores)
#
# Debian's source mirror is not always complete: the newest security release of a package may be
# listed by apt-cache showsrc and still answer 404 for its .dsc. So each source package is tried
# newest version first, falling back to older listed versions, and a version that failed is not
# tried again for a day. Found on 2026-12-10: openssl 3.0.22-1~deb12u2 (bookworm-security) and
# curl 7.88.1-10+deb12u5 (bookworm-security) answered 404; openssl 3.0.20-1~deb12u2 (bookworm),
# openssl 3.0.17-1~deb12u2 (bookworm-updates) and curl 7.88.1-10+deb12u15 (bookworm) downloaded.
set -euo pipefail

SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO_ROOT="$(cd "$SCRIPT_DIR/.." && pwd)"
TOOLCHAIN_FILE="$REPO_ROOT/cmake/mingw-w64-x86_64.cmake"
CACHE_ROOT="${QUIRADA_WINDOWS_DEPS_CACHE:-/var/cache/quirada-windows-deps}"
JOBS="${QUIRADA_WINDOWS_DEPS_JOBS:-2}"
TRIPLET=x86_64-w64-mingw32
# Raise this whenever a configure option or step below changes what gets built: it is part of the
# key, so the next run builds a new prefix instead of reusing one built the old way.
RECIPE=2

PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev mingw-w64-tools
  # Only the 64-bit Wine (no i386 multiarch): every Windows program run here must be 64-bit.
  nsis wine wine64
  dpkg-dev perl make cmake pkg-config patch xz-utils ca-certificates
  googletest rapidjson-dev firebird-dev
)
# The Windows-side paths compiled into OpenSSL for its configuration file, engines and modules.
# Left to the default they would be this machine's prefix, which on Windows names a folder under
# the drive's root that any user may create (the problem of CVE-2019-1552); these are the upstream
# defaults of Windows builds, writable only by administrators. OpenSSL is also configured not to
# load any configuration file by itself (no-autoload-config), and curl not to ask for one.
OPENSSL_WIN_OPENSSLDIR="C:/Program Files/Common Files/SSL"
OPENSSL_WIN_ENGINESDIR="C:/Program Files/OpenSSL/lib/engines-3"
OPENSSL_WIN_MODULESDIR="C:/Program Files/OpenSSL/lib/ossl-modules"
# What a static OpenSSL 3 needs from Windows when linking libcurl and its programs.
WIN_SYSTEM_LIBS="-lcrypt32 -lws2_32 -lgdi32 -lbcrypt -ladvapi32 -luser32"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

say() { echo "windows-deps: $*" >&2; }
die() { say "error: $*"; exit 1; }
START=$SECONDS
step_start=0
step() { step_start=$SECONDS; say "$*"; }
step_done() { say "  done in $((SECONDS - step_start)) s"; }

# Runs a command with its output appended to a log; on failure shows the log's tail and stops.
run_logged() {
  local logfile=$1
  shift
  if ! "$@" >>"$logfile" 2>&1; then
    say "failed: $*"
    say "last lines of $logfile:"
    tail -n 60 "$logfile" >&2
    exit 1
  fi
}

# --- Debian packages -------------------------------------------------------------------------------

APT_UPDATED=0
apt_update() {
  if [ "$APT_UPDATED" -eq 0 ]; then
    say "apt-get update"
    $SUDO apt-get update -q >&2
    APT_UPDATED=1
  fi
}

install_packages() {
  local missing=() p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    step "installing ${missing[*]}"
    apt_update
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
    step_done
  fi
}

# Writes deb-src entries, in a file of their own, for the Debian suites that the system's deb
# entries use (either /etc/apt/sources.list-style lines or deb822 .sources stanzas). Prints
# "changed" when it wrote a new or different file.
DEB_SRC_FILE=/etc/apt/sources.list.d/quirada-deb-src.sources
ensure_deb_src() {
  local codename
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  [ -n "$codename" ] || die "no VERSION_CODENAME in /etc/os-release"
  # Some other file already has deb-src entries: use those, and add none of ours.
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$DEB_SRC_FILE" ] || continue
    if grep -Eq '^[[:space:]]*deb-src[[:space:]]' "$f" ||
      grep -Eiq '^Types:.*\bdeb-src\b' "$f"; then
      [ ! -f "$DEB_SRC_FILE" ] || { $SUDO rm -f "$DEB_SRC_FILE"; echo changed; }
      return 0
    fi
  done
  local wanted
  wanted="$(CODENAME="$codename" perl -e '
    use strict; use warnings;
    my $codename = $ENV{CODENAME};
    my $suite_ok = sub { $_[0] =~ /^\Q$codename\E(-updates|-security|-backports|-proposed-updates)?$/ };
    my @out; my %seen;
    my $emit = sub {
      my ($uris, $suites, $comps, $signed) = @_;
      my @s = grep { $suite_ok->($_) } @$suites;
      return unless @s && @$comps;
      my $k = join("|", join(" ", @$uris), join(" ", @s), join(" ", @$comps));
      return if $seen{$k}++;
      my $t = "Types: deb-src\nURIs: " . join(" ", @$uris) . "\nSuites: " . join(" ", @s) .
              "\nComponents: " . join(" ", @$comps) . "\n";
      $t .= "Signed-By: $signed\n" if defined $signed && length $signed;
      push @out, $t;
    };
    for my $f ("/etc/apt/sources.list", glob("/etc/apt/sources.list.d/*.list")) {
      open(my $h, "<", $f) or next;
      while (<$h>) {
        s/#.*//; next unless /^\s*deb\s+(.*)$/;
        my $rest = $1; my $signed;
        if ($rest =~ s/^\[([^\]]*)\]\s*//) {
          for my $o (split /\s+/, $1) { $signed = $1 if $o =~ /^signed-by=(.*)$/ }
        }
        my ($uri, $suite, @comps) = split /\s+/, $rest;
        next unless defined $suite;
        $emit->([$uri], [$suite], \@comps, $signed);
      }
    }
    for my $f (glob("/etc/apt/sources.list.d/*.sources")) {
      next if $f eq "'"$DEB_SRC_FILE"'";
      local $/ = undef; open(my $h, "<", $f) or next; my $all = <$h>;
      for my $stanza (split /\n\s*\n/, $all) {
        my (%v, $last);
        for my $line (split /\n/, $stanza) {
          next if $line =~ /^#/;
          if ($line =~ /^([A-Za-z-]+):\s*(.*)$/) { $last = lc $1; $v{$last} = $2 }
          elsif ($line =~ /^\s/ && defined $last) { $v{$last} .= "\n$line" }
        }
        next if defined $v{enabled} && $v{enabled} =~ /^\s*no\s*$/i;
        next unless defined $v{types} && $v{types} =~ /(^|\s)deb(\s|$)/;
        next unless defined $v{uris} && defined $v{suites} && defined $v{components};
        $emit->([split " ", $v{uris}], [split " ", $v{suites}], [split " ", $v{components}], $v{"signed-by"});
      }
    }
    print join("\n", @out);
  ')"
  [ -n "$wanted" ] || die "found no Debian ($codename) deb entries in /etc/apt to derive deb-src entries from"
  wanted="# Written by scripts/windows-deps.sh of Quirada Contabil: Debian's source packages, for the
# Windows cross-build of OpenSSL and curl.
$wanted"
  if [ ! -f "$DEB_SRC_FILE" ] || [ "$(cat "$DEB_SRC_FILE")" != "$wanted" ]; then
    printf '%s\n' "$wanted" | $SUDO tee "$DEB_SRC_FILE" >/dev/null
    echo changed
  fi
}

# The versions of a source package that apt knows, newest first.
source_versions() {
  apt-cache showsrc "$1" 2>/dev/null |
    awk -v pkg="$1" '/^Package: /{p=$2} /^Version: /{if (p==pkg) print $2}' |
    perl -MDpkg::Version=version_compare -e '
      my %u = map { chomp; ($_ => 1) } grep { /\S/ } <STDIN>;
      print "$_\n" for sort { version_compare($b, $a) } keys %u;'
}

# Downloads (once) the source package $1 at version $2 into $CACHE_ROOT/sources/$1_$2.
# Returns non-zero when the mirror cannot give it; a failure is remembered for a day.
fetch_source() {
  local pkg=$1 ver=$2 dir="$CACHE_ROOT/sources/${1}_$(safe "$2")"
  [ -f "$dir/.complete" ] && return 0
  if [ -f "$dir/.failed" ] && [ -z "$(find "$dir/.failed" -mmin +1440 2>/dev/null)" ]; then
    return 1
  fi
  mkdir -p "$dir"
  rm -f "$dir/.failed"
  if (cd "$dir" && apt-get source -q --download-only "$pkg=$ver") >"$dir/download.log" 2>&1 &&
    ls "$dir"/*.dsc >/dev/null 2>&1; then
    touch "$dir/.complete"
    return 0
  fi
  touch "$dir/.failed"
  say "  $pkg $ver did not download: $(grep -m1 '^E: ' "$dir/download.log" || echo "see $dir/download.log")"
  return 1
}

# Picks the newest version of source package $1 that downloads; prints it.
resolve_source() {
  local pkg=$1 ver attempt
  for attempt in 1 2; do
    for ver in $(source_versions "$pkg"); do
      if fetch_source "$pkg" "$ver"; then
        echo "$ver"
        return 0
      fi
    done
    # Perhaps the package lists are old: refresh them once and try again.
    [ "$APT_UPDATED" -eq 0 ] || break
    apt_update
  done
  die "no version of the source package $pkg could be downloaded (apt-cache showsrc $pkg)"
}

safe() { printf '%s' "$1" | tr -c 'A-Za-z0-9.+_-' '_'; }
pkg_version() { dpkg-query -W -f='${Version}' "$1"; }

# --- The builds ------------------------------------------------------------------------------------

# Unpacks source package $1 at version $2 into the work folder, Debian's patches applied; prints
# the source tree's path.
unpack_source() {
  local pkg=$1 ver=$2 src="$CACHE_ROOT/sources/${1}_$(safe "$2")" dst="$WORK/$1"
  rm -rf "$dst"
  run_logged "$LOGS/$pkg.log" dpkg-source -x "$(ls "$src"/*.dsc | head -n1)" "$dst"
  echo "$dst"
}

build_openssl() {
  local src
  src="$(unpack_source openssl "$OPENSSL_VERSION")"
  cd "$src"
  # CC is prefixed with --cross-compile-prefix: x86_64-w64-mingw32-gcc-posix.
  run_logged "$LOGS/openssl.log" env CC=gcc-posix ./Configure mingw64 \
    no-shared no-tests no-autoload-config \
    --cross-compile-prefix="$TRIPLET-" --prefix="$PREFIX" --libdir=lib
  local dirs=("OPENSSLDIR=$OPENSSL_WIN_OPENSSLDIR" "ENGINESDIR=$OPENSSL_WIN_ENGINESDIR"
    "MODULESDIR=$OPENSSL_WIN_MODULESDIR")
  # Only the libraries: the openssl program and the manuals are not needed.
  run_logged "$LOGS/openssl.log" make -j"$JOBS" "${dirs[@]}" build_libs
  run_logged "$LOGS/openssl.log" make "${dirs[@]}" install_dev
  cd /
}

build_curl() {
  local src p
  src="$(unpack_source curl "$CURL_VERSION")"
  cd "$src"
  # Debian builds its OpenSSL flavour with the GnuTLS and NSS flavours' patches (the last ones of
  # the series, renaming the library) popped; do the same.
  for p in $(grep -Ev '^\s*(#|$)' debian/patches/series | tac); do
    case "$p" in
      *gnutls*.patch | *nss*.patch) run_logged "$LOGS/curl.log" patch -R -p1 -i "debian/patches/$p" ;;
    esac
  done
  local disable=(
    --disable-ldap --disable-ldaps --disable-rtsp --disable-dict --disable-telnet --disable-tftp
    --disable-pop3 --disable-imap --disable-smb --disable-smtp --disable-gopher --disable-mqtt
    --disable-ftp --disable-file --disable-manual --disable-ntlm-wb --disable-sspi
    --without-zlib --without-brotli --without-zstd --without-nghttp2 --without-nghttp3
    --without-ngtcp2 --without-quiche --without-msh3 --without-libidn2 --without-libpsl
    --without-libssh --without-libssh2 --without-wolfssh --without-librtmp --without-libgsasl
    --without-gssapi --without-winidn --without-hyper --without-ca-bundle --without-ca-path
    --disable-tls-srp --disable-unix-sockets --disable-openssl-auto-load-config
  )
  run_logged "$LOGS/curl.log" env \
    CC="$TRIPLET-gcc-posix" AR="$TRIPLET-ar" RANLIB="$TRIPLET-ranlib" \
    CPPFLAGS="-I$PREFIX/include" LDFLAGS="-L$PREFIX/lib -static" LIBS="$WIN_SYSTEM_LIBS" \
    PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig" PKG_CONFIG_PATH="" \
    ./configure --host="$TRIPLET" --prefix="$PREFIX" --disable-shared --enable-static \
    --with-openssl="$PREFIX" "${disable[@]}"
  grep -q '^#define USE_OPENSSL 1' lib/curl_config.h || die "curl's configure did not take OpenSSL"
  # The library, its headers, libcurl.pc and curl-config; not the curl program.
  run_logged "$LOGS/curl.log" make -j"$JOBS" -C lib
  run_logged "$LOGS/curl.log" make -C lib install
  run_logged "$LOGS/curl.log" make -C include install
  run_logged "$LOGS/curl.log" make install-pkgconfigDATA install-binSCRIPTS
  cd /
}

build_googletest() {
  local build="$WORK/googletest-build"
  rm -rf "$build"
  # gtest_disable_pthreads: with MinGW's winpthreads CMake would build GoogleTest on pthreads, while
  # the headers as seen by a test program choose Windows' own threads (its Mutex would differ).
  run_logged "$LOGS/googletest.log" cmake -S /usr/src/googletest -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN_FILE" -DQUIRADA_WINDOWS_DEPS_PREFIX="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -Dgtest_disable_pthreads=ON
  run_logged "$LOGS/googletest.log" cmake --build "$build" -j "$JOBS"
  run_logged "$LOGS/googletest.log" cmake --install "$build"
}

# RapidJSON and the Firebird OO API are headers only and the same on every platform, but
# /usr/include cannot go on a MinGW include path (its C library headers would hide MinGW's).
# Link just them into the prefix's include folder (firebird/Interface.h includes "ibase.h").
link_neutral_headers() {
  mkdir -p "$PREFIX/include"
  local h
  for h in rapidjson firebird ibase.h iberror.h; do
    [ -e "/usr/include/$h" ] || die "/usr/include/$h is missing (rapidjson-dev, firebird-dev)"
    ln -sfn "/usr/include/$h" "$PREFIX/include/$h"
  done
}

# --- Main ------------------------------------------------------------------------------------------

[ -f "$TOOLCHAIN_FILE" ] || die "$TOOLCHAIN_FILE is missing"
install_packages
deb_src_state="$(ensure_deb_src)"
if [ "$deb_src_state" = changed ]; then
  APT_UPDATED=0
  apt_update
elif [ -z "$(source_versions openssl)" ]; then
  apt_update
fi

mkdir -p "$CACHE_ROOT"
exec 9>"$CACHE_ROOT/.lock"
flock 9 # one run at a time per cache

step "choosing source versions"
OPENSSL_VERSION="$(resolve_source openssl)"
CURL_VERSION="$(resolve_source curl)"
GTEST_VERSION="$(pkg_version googletest)"
MINGW_VERSION="$(pkg_version g++-mingw-w64-x86-64-posix)"
MINGW_CRT_VERSION="$(pkg_version mingw-w64-x86-64-dev)"
step_done
say "openssl $OPENSSL_VERSION, curl $CURL_VERSION, googletest $GTEST_VERSION," \
  "g++-mingw-w64-x86-64-posix $MINGW_VERSION, mingw-w64-x86-64-dev $MINGW_CRT_VERSION"

KEY="openssl-$(safe "$OPENSSL_VERSION")_curl-$(safe "$CURL_VERSION")_googletest-$(safe "$GTEST_VERSION")"
KEY+="_mingw-$(safe "$MINGW_VERSION")_crt-$(safe "$MINGW_CRT_VERSION")_r$RECIPE"
PREFIX="$CACHE_ROOT/$KEY"
WORK="$CACHE_ROOT/work/$KEY"
LOGS="$PREFIX/logs"
STAMPS="$PREFIX/.stamps"

if [ -f "$PREFIX/.complete" ]; then
  link_neutral_headers
  say "reusing $PREFIX (built $(cat "$PREFIX/.complete")); $((SECONDS - START)) s in all"
  echo "$PREFIX"
  exit 0
fi

mkdir -p "$LOGS" "$STAMPS" "$WORK"
build_step() {
  local name=$1
  if [ -f "$STAMPS/$name" ]; then
    say "$name: already built in $PREFIX"
    return 0
  fi
  : >"$LOGS/$name.log"
  step "$name: building (log: $LOGS/$name.log)"
  "build_$name"
  touch "$STAMPS/$name"
  step_done
}
build_step openssl
build_step curl
link_neutral_headers
build_step googletest

cat >"$PREFIX/versions.txt" <<EOF
openssl $OPENSSL_VERSION
curl $CURL_VERSION
googletest $GTEST_VERSION
g++-mingw-w64-x86-64-posix $MINGW_VERSION
mingw-w64-x86-64-dev $MINGW_CRT_VERSION
recipe $RECIPE
EOF
date -u +%Y-%m-%dT%H:%M:%SZ >"$PREFIX/.complete"
rm -rf "$WORK"
rmdir "$CACHE_ROOT/work" 2>/dev/null || true
say "built $PREFIX in $((SECONDS - START)) s"
echo "$PREFIX"
