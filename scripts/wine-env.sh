# Environment for running the win64 build under Wine. Sourced by wine-exec and
# wine-session; every value can be overridden from outside.
_tobrine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export TOBRINE_WINE_DIR=${TOBRINE_WINE_DIR:-$_tobrine_root/build/win64/wine}
export WINEPREFIX=${WINEPREFIX:-$TOBRINE_WINE_DIR/prefix}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export LANG=zh_CN.UTF-8            # makes the Windows ANSI code page 936
export LC_ALL=zh_CN.UTF-8
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree=;mshtml="}  # no Mono/Gecko prompts
export WINE=${WINE:-/usr/lib/wine/wine64}
export WINESERVER=${WINESERVER:-$(dirname "$WINE")/wineserver}
if [ -z "${DISPLAY:-}" ] && [ -f "$TOBRINE_WINE_DIR/display" ]; then
  export DISPLAY=$(cat "$TOBRINE_WINE_DIR/display")
fi
export URL_LOG=${URL_LOG:-$TOBRINE_WINE_DIR/opened-urls.txt}
