# Shared by the scripts: where things are and how each tree is configured.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VIDRANE_BUILD:-$root/build}

# configure_tree DIR [cmake options...]: configures once, then only builds.
configure_tree() {
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 \
      || { cat "$dir.configure.log"; return 1; }
  fi
}

windows_toolchain="-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64-x86_64.cmake"

# A wine prefix made before the tests start (not by several of them at once), and a wineserver
# kept alive between the many short wine processes.
start_wine() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
  fi
  wineserver -p >/dev/null 2>&1 || true
}
stop_wine() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
}
