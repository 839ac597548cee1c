# Installs the Debian packages given that are not installed yet (apt-get, as root or
# through sudo). Sourced by the other scripts.
palvex_ensure_packages() {
  local missing=()
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
  # A fresh machine may be running its own upgrades at first boot: wait up to 10 minutes
  # for the package manager's lock instead of failing at once.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
}

# What palvex and palvex-mux build and run with: the README's first screen names the same
# packages (tests/install/check_packages.sh holds the two together), and both README
# commands install them.
PALVEX_TOOL_PACKAGES=(cmake g++ make pkg-config ffmpeg libavformat-dev libavcodec-dev libavutil-dev
  libtomlplusplus-dev libcpp-httplib-dev nlohmann-json3-dev)

# Every test besides: the test frameworks, the fuzzers' compiler and the receivers and
# analyzers the end-to-end tests judge the output with.
PALVEX_BUILD_PACKAGES=("${PALVEX_TOOL_PACKAGES[@]}" clang libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev libdvbpsi-dev tstools gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav vlc-bin vlc-plugin-base prometheus chromium systemd)

# The 32-bit builds: Linux -m32, and the Windows DLL cross-built with mingw-w64 and tested
# under Wine (wine32 comes from the i386 architecture, see palvex_ensure_i386), also from a
# host built for the Visual C++ ABI with clang and lld-link.
PALVEX_32BIT_PACKAGES=(cmake make gcc-multilib g++-multilib googletest g++-mingw-w64-i686
  binutils-mingw-w64-i686 wine wine32 clang lld llvm ffmpeg)

# VLC refuses to run as root: tests that play palvex's output in VLC run it as this user.
palvex_ensure_vlc_user() {
  if [ "$(id -u)" = 0 ] && ! id vlcuser >/dev/null 2>&1; then
    useradd --system --no-create-home --shell /usr/sbin/nologin vlcuser
  fi
}

# Adds the i386 architecture once; the next palvex_ensure_packages updates the lists.
palvex_ensure_i386() {
  if dpkg --print-foreign-architectures | grep -qx i386; then
    return 0
  fi
  local sudo=""
  if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
  $sudo dpkg --add-architecture i386
}
