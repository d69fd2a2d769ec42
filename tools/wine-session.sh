# Sourced by the test runner: one Xvfb display and one persistent wineserver for the whole run, so
# each Windows test starts in a fraction of a second and no helper process holds a pipe open.
# Defines wine_session_start PREFIX and wine_session_stop.

wine_session_start() {
  export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  local display=$((90 + RANDOM % 400))
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
  done
  Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  WINE_SESSION_XVFB=$!
  export DISPLAY=":$display"
  for _ in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done

  if [ ! -d "$WINEPREFIX/drive_c" ]; then
    wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w
  fi
  # C: carries a volume label outside ASCII, so the drive lists are tested with one. Wine reads it
  # from this file when its server starts.
  export QUARVELIN_TEST_LABEL="Données Ωμέγα 日本"
  printf '%s' "$QUARVELIN_TEST_LABEL" >"$WINEPREFIX/drive_c/.windows-label"
  wineserver -p </dev/null >/dev/null 2>&1
  # A crash must end the test with an error code, not hang in the debugger.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1
  # Start Wine's helper services now, outside any pipe a test runner reads.
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

wine_session_stop() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "${WINE_SESSION_XVFB:-}" ] && kill "$WINE_SESSION_XVFB" 2>/dev/null || true
  WINE_SESSION_XVFB=
}
