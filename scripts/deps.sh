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
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

PALVEX_BUILD_PACKAGES=(cmake g++ make clang libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev pkg-config ffmpeg libavformat-dev libavcodec-dev libavutil-dev
  libdvbpsi-dev tstools)
