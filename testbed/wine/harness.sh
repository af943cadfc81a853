# Wine harness shared by the test runner, the demo and the emulator wrapper.
# Source it with KQD_WINEPREFIX set to the prefix (inside the build tree).
# Everything here acts on that prefix only: never on another wineserver.

: "${KQD_WINEPREFIX:?KQD_WINEPREFIX must name the prefix}"
export WINEPREFIX="$KQD_WINEPREFIX"
# What the build tree asks of every Windows process (a coverage build's GCOV_PREFIX),
# set before any Wine process starts: services.exe hands its environment to services.
if [ -f "$KQD_WINEPREFIX.env" ]; then
  . "$KQD_WINEPREFIX.env"
fi
export WINEDEBUG="${KQD_WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
# /usr/bin/wine is a wrapper that complains about wine32 on stderr; go straight to the loader.
if [ -x /usr/lib/wine/wine64 ]; then
  KQD_WINE=/usr/lib/wine/wine64
  export WINELOADER=/usr/lib/wine/wine64
else
  KQD_WINE=wine
fi
# Debian's Wine has no preloader, which on other builds reserves the addresses Wine
# needs before the system maps anything. With the address space randomised, a new
# process now and then finds the shared user data page taken and dies at once
# ("failed to map the shared user data", exit code 1, silent under WINEDEBUG=-all):
# about one start in a thousand here, a set-up step or a fold failing at random. A
# fixed layout has the page free every time, and every process that Wine starts from
# one of these (services and drivers included) inherits the fixed layout.
kqd_wine_run() { setarch -R "$KQD_WINE" "$@"; }
# The same in place of the calling (sub)shell: started as "(kqd_wine_exec ...) &", $!
# is the Wine process itself, which a script can end by that id.
kqd_wine_exec() { exec setarch -R "$KQD_WINE" "$@"; }
KQD_WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
[ -x "$KQD_WINESERVER" ] || KQD_WINESERVER=/usr/lib/wine/wineserver64

# Lines Wine itself writes to stderr; the programs' own stderr passes.
kqd_wine_noise='^([0-9a-f]{4}:(fixme|err|warn|trace|info):|wine: |Wine |Could not find Wine Gecko|it looks like wine32|multiarch needs|execute "dpkg|apt-get install wine32|MESA|libEGL)'

kqd_wine_filter() { grep -Ev --line-buffered "$kqd_wine_noise" >&2 || true; }

# A prefix counts as ready only when the last step of its creation left the marker,
# which names what the prefix was made with; one made otherwise is made again.
# Top-level windows need a graphics driver, and the testbed has no display: without
# one Wine refuses them ("no driver could be loaded"; message-only windows, all that
# COM makes, never needed one). Wine's null driver lets them exist, unseen: kqdwatch's
# hidden window, which the slate state's WM_SETTINGCHANGE broadcasts reach. The
# desktop process takes the driver when a wineserver starts it, after the set-up.
kqd_wine_prefix_kind=graphics=null
kqd_wine_ensure_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if grep -qx "$kqd_wine_prefix_kind" "$WINEPREFIX/.kqd-ready" 2>/dev/null && [ -f "$WINEPREFIX/system.reg" ] \
       && [ -d "$WINEPREFIX/drive_c/windows/system32" ]; then
      exit 0
    fi
    "$KQD_WINESERVER" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    echo "harness: creating Wine prefix $WINEPREFIX" >&2
    kqd_wine_run wineboot -i >/dev/null 2>&1 || { echo "harness: wineboot failed" >&2; exit 1; }
    kqd_wine_run reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 ||
      { echo "harness: cannot choose Wine's null graphics driver" >&2; exit 1; }
    "$KQD_WINESERVER" -w 2>/dev/null || true
    echo "$kqd_wine_prefix_kind" >"$WINEPREFIX/.kqd-ready"
  ) 9>"$WINEPREFIX.lock"
}

# A persistent wineserver keeps services and loaded drivers alive between commands.
# Wine's own background processes (services.exe, winedevice, the services it starts)
# are started here with a log for stdio, so none of them holds a caller's pipe open.
# They log Wine's errors unless KQD_WINEDEBUG says otherwise: nobody reads that
# log but someone looking into a failure, whom -all would leave with nothing.
kqd_wine_start_server() {
  kqd_wine_ensure_prefix || return 1
  "$KQD_WINESERVER" -p 2>/dev/null || true
  # Any call on the service manager starts them. Wine's own PlugPlay is always there:
  # a query of it writes neither a usage line nor an error into the log.
  WINEDEBUG="${KQD_WINEDEBUG:--all,err+all}" kqd_wine_run sc query PlugPlay >/dev/null 2>>"$WINEPREFIX/wine.log" \
    </dev/null || true
}

kqd_wine_stop_server() {
  "$KQD_WINESERVER" -k 2>/dev/null || true
  "$KQD_WINESERVER" -w 2>/dev/null || true
}

# Runs a Windows program in the prefix; Wine's own stderr lines are dropped.
kqd_wine() {
  kqd_wine_run "$@" 2> >(kqd_wine_filter >/dev/null)
}

kqd_wine_path() { # unix path of C:\windows\system32
  printf '%s/drive_c/windows/system32' "$WINEPREFIX"
}
