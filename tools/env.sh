# Shared by the build and test commands: packages, build trees, Wine prefix.
KR_PACKAGES="g++ g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools libwine-dev wine wine64 xvfb xauth cmake ninja-build googletest clang libclang-rt-14-dev imagemagick fonts-wine"

kr_install_packages() {
  local missing=()
  local p
  for p in $KR_PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# kr_build x64|x86 [build dir] [targets...]: configures (once, with any
# extra cmake arguments in KR_CMAKE_ARGS) and builds one architecture (all
# targets unless some are named).
kr_build() {
  local arch=$1 toolchain
  local dir=${2:-$root/build/$arch}
  shift; [ $# -gt 0 ] && shift
  case $arch in
    x64) toolchain=x86_64 ;;
    x86) toolchain=i686 ;;
  esac
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain-mingw.cmake" ${KR_CMAKE_ARGS:-} >/dev/null
  fi
  echo "== build $arch"
  local t=()
  for x in "$@"; do t+=(--target "$x"); done
  cmake --build "$dir" "${t[@]}"
}

# kr_wine_prefix [build dir]: creates the private Wine prefix when missing.
kr_wine_prefix() {
  export WINEPREFIX="${1:-$root/build/x64}/wineprefix"
  export WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/.kr-ready" ]; then
    echo "== creating Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    xvfb-run -a sh -c '
      wineboot -i >/dev/null 2>&1
      # Without a window manager every message box waits ~2 s to close.
      wine reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
      wineserver -w'
    touch "$WINEPREFIX/.kr-ready"
  fi
  # The test bench's fonts ("MS Sans Serif", "Small Fonts") from Wine's own
  # font set, which Wine does not find on its own here; also into a prefix
  # made before they were copied.
  local font
  for font in sserife.fon smalle.fon; do
    [ -f "$WINEPREFIX/drive_c/windows/Fonts/$font" ] ||
      cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  done
}

# The installers: wixl builds them, msitools post-processes and reads them back.
KR_PACKAGES="$KR_PACKAGES msitools wixl"
# Signing (tools/build.sh --sign) and its test's throwaway certificate.
KR_PACKAGES="$KR_PACKAGES osslsigncode openssl"
