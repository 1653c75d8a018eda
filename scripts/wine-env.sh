# Sets up Wine for the Windows build's tests; to be sourced by bash scripts:
#
#   . scripts/wine-env.sh || exit 1     # env + prefix (created once) + persistent, warmed wineserver
#   wine build-windows/tests/foo_tests.exe
#   quirada_wine_stop                   # when done (or: trap quirada_wine_stop EXIT)
#
# What sourcing it does:
#   - exports WINEPREFIX (see below), WINEARCH=win64, WINEDEBUG=-all (no "fixme:"/"err:" lines
#     mixed into the programs' stderr; QUIRADA_WINEDEBUG=err+module, for one, brings some back
#     when looking into a failure) and WINEDLLOVERRIDES that keep Wine from offering to install
#     Mono and Gecko and from writing desktop menu entries (winemenubuilder);
#   - creates the prefix with `wineboot -i` the first time (about 10 s);
#   - starts a persistent wineserver (`wineserver -p`) for the prefix if none runs, and warms it
#     with `wine cmd /c echo`, both with stdin, stdout and stderr on /dev/null or a log.
#
# Why the warm-up matters: the first Wine program of a session also starts Wine's background
# processes (services.exe, explorer.exe, winedevice.exe...), and they inherit that program's
# stdout and stderr. When a test runner reads those through a pipe, it waits for end-of-file:
# for about 3 s per program while the wineserver exits after each one, and for ever once the
# wineserver is persistent. Started here, they hold /dev/null instead, and each later `wine`
# call returns as soon as its program ends (about 0.05 s of overhead for a small program).
#
# The prefix: $QUIRADA_WINEPREFIX if set; otherwise /var/cache/quirada-wine/prefix for root (the
# CI and the developers' machines) and ${XDG_CACHE_HOME:-~/.cache}/quirada-wine/prefix for anyone
# else (Wine refuses a prefix its user does not own). It is outside the checkout, so a fresh clone
# or `git clean` does not pay for a new prefix and the work tree stays clean, and it is never
# ~/.wine, so a developer's own Wine set-up is left alone. It is shared by every build on the
# machine: a test that changes the prefix (registry, services) must undo its change, or be run
# with QUIRADA_WINEPREFIX pointing at a folder of its own.
#
# Only Debian's 64-bit Wine is installed (wine64, no wine32 from i386 multiarch), so only x86-64
# programs run. A 32-bit program does not start, and `wine` still exits with status 0 for it: an
# NSIS installer must be built with `Target amd64-unicode`, and a test should check the effects
# of what it ran, not only the exit status.
#
# Functions (all start with quirada_wine_):
#   quirada_wine_env      exports the variables only
#   quirada_wine_start    quirada_wine_env, then the prefix and the warmed persistent wineserver
#   quirada_wine_stop     ends every Wine process of the prefix and its wineserver (wineserver -k)
# scripts/wine-run.sh wraps a single program (CMAKE_CROSSCOMPILING_EMULATOR of the toolchain file).

quirada_wine_env() {
  if [ -z "${QUIRADA_WINEPREFIX:-}" ]; then
    if [ "$(id -u)" -eq 0 ]; then
      QUIRADA_WINEPREFIX=/var/cache/quirada-wine/prefix
    else
      QUIRADA_WINEPREFIX="${XDG_CACHE_HOME:-$HOME/.cache}/quirada-wine/prefix"
    fi
  fi
  export QUIRADA_WINEPREFIX
  export WINEPREFIX="$QUIRADA_WINEPREFIX"
  export WINEARCH=win64
  export WINEDEBUG="${QUIRADA_WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

quirada_wine_start() {
  quirada_wine_env
  local base log
  base="$(dirname "$WINEPREFIX")"
  log="$base/$(basename "$WINEPREFIX").log"
  command -v wine >/dev/null && command -v wineserver >/dev/null || {
    echo "wine-env: wine is not installed (scripts/windows-deps.sh installs it)" >&2
    return 1
  }
  mkdir -p "$WINEPREFIX" || return 1
  # One caller at a time starts and warms the server; the others wait here and then find it.
  # The lock's descriptor (9) is closed for every Wine process: the wineserver and the
  # background processes would otherwise inherit it and hold the lock for ever.
  (
    flock 9 || exit 1
    # Exit status 0: this call started the server; 2: one was already running for the prefix.
    started=0
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || started=$?
    if [ "$started" -ne 0 ] && [ "$started" -ne 2 ]; then
      echo "wine-env: wineserver -p failed (exit status $started) for $WINEPREFIX" >&2
      exit 1
    fi
    if [ ! -f "$WINEPREFIX/.quirada-ready" ]; then
      echo "wine-env: creating the Wine prefix $WINEPREFIX (log: $log)" >&2
      if ! wine wineboot -i </dev/null >>"$log" 2>&1 9>&-; then
        echo "wine-env: wineboot -i failed; last lines of $log:" >&2
        tail -n 20 "$log" >&2
        exit 1
      fi
      touch "$WINEPREFIX/.quirada-ready"
      # A prefix just made runs two service control managers, each with a service database of its
      # own; a restarted server runs one.
      wineserver -k </dev/null >/dev/null 2>&1 9>&- || true
      wineserver -w </dev/null >/dev/null 2>&1 9>&- || true
      wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
      started=0
    fi
    if [ "$started" -eq 0 ]; then
      if ! wine cmd /c echo warm </dev/null >>"$log" 2>&1 9>&-; then
        echo "wine-env: Wine could not run cmd.exe; last lines of $log:" >&2
        tail -n 20 "$log" >&2
        exit 1
      fi
    fi
  ) 9>"$base/$(basename "$WINEPREFIX").lock"
}

quirada_wine_stop() {
  quirada_wine_env
  [ -d "$WINEPREFIX" ] || return 0
  wineserver -k </dev/null >/dev/null 2>&1 || true
  # -k signals the server; -w waits until it is gone (returns at once when none runs).
  wineserver -w </dev/null >/dev/null 2>&1 || true
}

quirada_wine_start
