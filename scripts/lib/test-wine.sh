# Sourced by scripts/test: the Windows build, cross-compiled with MinGW-w64 into build-wine, and
# a fresh Wine prefix in it. The Linux release build's ctest then runs the Windows unit tests and
# every end-to-end suite against the Windows program under Wine (the tests named wine.*; see
# tests/CMakeLists.txt). A failed Windows build fails the test command without stopping it.

WINE_PACKAGES=(g++-mingw-w64-x86-64-posix wine64 locales acl)
WINE_LOADER=/usr/lib/wine/wine64   # Debian's wine64 puts no wine on PATH
WINE_SERVER=/usr/lib/wine/wineserver
WINE_RUN="$ORVO_TOP/tests/support/wine-run.sh"
ORVO_WINE_BUILD="$ORVO_TOP/build-wine"

wine_stage() {
  log "building (windows)"
  cmake -S "$ORVO_TOP" -B "$ORVO_WINE_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$ORVO_TOP/cmake/mingw-w64-x86_64.cmake" >/dev/null &&
    cmake --build "$ORVO_WINE_BUILD" -j "$(nproc)" || return 1

  log "preparing Wine"
  # A fresh prefix for an unprivileged user, whose Z: leads to an empty folder: no Windows
  # program that a test starts can write this machine's files (tests/support/wine-run.sh).
  export WINEPREFIX="$ORVO_WINE_BUILD/wineprefix" WINEDEBUG=-all
  "$WINE_RUN" --new-prefix || return 1
  # Wine reads Unix file names in the charset of its Unix locale, and the tests ask for pt_BR:
  # a compiled pt_BR.UTF-8 of the build's own (LOCPATH) gives both without touching the system.
  mkdir -p "$ORVO_WINE_BUILD/locale"
  [ -d "$ORVO_WINE_BUILD/locale/pt_BR.UTF-8" ] ||
    localedef -i pt_BR -f UTF-8 "$ORVO_WINE_BUILD/locale/pt_BR.UTF-8" || return 1
  # The server stays up across the tests, and its helper processes start now with their output
  # to /dev/null (they would hold a test's output channels open). The tests stop it at the end.
  "$WINE_RUN" "$WINE_SERVER" -p
  on_exit "WINEPREFIX='$WINEPREFIX' '$WINE_RUN' '$WINE_SERVER' -k 2>/dev/null"
  (cd "$WINEPREFIX/drive_c" && "$WINE_RUN" "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1)
}

ensure_packages "${WINE_PACKAGES[@]}"
wine_started=$SECONDS
if wine_stage; then
  log "Windows build and Wine prefix ready in $((SECONDS - wine_started)) s"
else
  log "the Windows build or its Wine prefix failed: no wine.* tests this time"
  rm -f "$ORVO_WINE_BUILD/OrvoWebServerUploadXML.exe"   # so that no older program is tested
  status=1
fi
