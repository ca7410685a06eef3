#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# As root it runs apt-get itself; otherwise it prints the line to run.
# Packages named as arguments are wanted as well; NAME:ARCH is a package of
# another architecture, which is then enabled.
set -u
packages=(cmake g++ make binutils libbz2-dev libzstd-dev libsodium-dev libarchive-dev googletest libgtest-dev bzip2 pbzip2 zstd tar pkg-config groff-base man-db signify-openbsd libarchive-tools)

packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  # One line per installed architecture (a system may carry i386 packages
  # beside the native ones).
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

architectures=()
for p in "${missing[@]}"; do
  case $p in
    *:*) dpkg --print-foreign-architectures | grep -qx "${p##*:}" || architectures+=("${p##*:}") ;;
  esac
done
read -r -a architectures <<<"$(printf '%s\n' "${architectures[@]}" | sort -u | tr '\n' ' ')"

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  for arch in "${architectures[@]}"; do echo "Enable $arch with:  sudo dpkg --add-architecture $arch" >&2; done
  echo "Install them with:  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
for arch in "${architectures[@]}"; do dpkg --add-architecture "$arch"; done
# A mirror caught mid-sync fails an update or an install now and then:
# each is tried a few times, and the install is tried whatever the update
# said (the indexes it could fetch may be all it needs).
for try in 1 2 3; do
  apt-get update -qq && break
  echo "setup-deps: apt-get update failed (try $try of 3)" >&2
  [ "$try" -eq 3 ] || sleep $((try * 5))
done
for try in 1 2 3; do
  apt-get install -y -qq "${missing[@]}" >/dev/null && exit 0
  echo "setup-deps: apt-get install failed (try $try of 3)" >&2
  [ "$try" -eq 3 ] && break
  sleep $((try * 5))
  apt-get update -qq || true
done
exit 1
