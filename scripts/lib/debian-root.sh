# shellcheck shell=bash
# Sourced by the scripts that build in a Debian root of their own
# (scripts/debian13, scripts/package --arch): the root is made once with
# mmdebstrap, given later the packages it lacks, and entered with unshare and
# chroot, so that nothing in it touches this machine's own packages (a
# foreign architecture's Qt -dev packages can displace the native ones).
# Needs root.

# debian_root ROOT SUITE ARCHITECTURES PACKAGE...: ROOT holds SUITE with
# ARCHITECTURES (comma-separated, the native one first) and every PACKAGE
# (pkg or pkg:arch), installing only what is missing. Two runs for one ROOT
# at once (CI starts making the roots early, in the background) take turns.
debian_root() {
  mkdir -p "$(dirname "$1")"
  (
    flock 9
    debian_root_locked "$@"
  ) 9>"$1.lock"
}

debian_root_locked() {
  local root=$1 suite=$2 archs=$3
  shift 3
  local packages=("$@") missing=() p a
  if [ ! -x "$root/usr/bin/apt-get" ]; then
    rm -rf "$root"
    echo "Making a Debian $suite root ($archs) in $root ..."
    # The package lists stay, for scripts/deps --simulate to ask them.
    mmdebstrap --quiet --variant=apt --architectures="$archs" --skip=cleanup/apt/lists \
      --include="$(IFS=,; echo "${packages[*]}")" "$suite" "$root" http://deb.debian.org/debian
  fi
  for p in "${packages[@]}"; do
    chroot "$root" dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing in $root: ${missing[*]}"
  # A root made before an architecture joined the list gets it first.
  for a in ${archs//,/ }; do
    [ "$a" = "$(chroot "$root" dpkg --print-architecture)" ] ||
      chroot "$root" dpkg --print-foreign-architectures | grep -qx "$a" ||
      chroot "$root" dpkg --add-architecture "$a"
  done
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  chroot "$root" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# debian_root_run ROOT [VAR=VALUE...] COMMAND...: runs COMMAND in ROOT with
# this checkout bound at /src (not copied) and a clean environment. The build
# stays in the root's /build. The mounts vanish with the namespace.
debian_root_run() {
  local root=$1
  shift
  mkdir -p "$root/src" "$root/build"
  unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1; shift
    mount --bind "$PWD" "$root/src"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs tmpfs "$root/tmp"
    exec chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
  ' debian-root "$root" "$@"
}

# cross_root ARCH [package|tests]: the Debian 12 root the Raspberry Pi
# packages (arm64, armhf) are cross-built and tested in, made or completed;
# its path is left in cross_root_dir. One root for each architecture: two
# foreign architectures' -dev packages cannot all stand side by side
# (libftdi1-dev is not multiarch). A root for the package alone goes without
# what only the tests need (scikit-rf brings SciPy and its build tools,
# hundreds of megabytes); a later run for the tests adds it.
cross_root() {
  local arch=$1 what=${2:-tests} p
  case $arch in arm64 | armhf) ;; *) echo "cannot cross-build for '$arch' (arm64 or armhf)" >&2; return 2 ;; esac
  local packages=(
    cmake make pkg-config ccache file dpkg-dev lintian desktop-file-utils appstream man-db
    qemu-user-static libhamlib-utils fonts-dejavu-core crossbuild-essential-"$arch"
  )
  local target=(qt6-base-dev qt6-svg-dev qt6-serialport-dev qt6-charts-dev libxkbcommon-dev libgl-dev
    libqt6opengl6-dev libpulse-dev libftdi1-dev libgpiod-dev)
  if [ "$what" = tests ]; then
    packages+=(python3 python3-scikit-rf procps)
    target+=(libgtest-dev libgmock-dev)
  fi
  for p in "${target[@]}"; do
    packages+=("$p:$arch")
  done
  cross_root_dir=${KALIMOR_CROSS_ROOT:-/var/tmp/kalimor-cross-bookworm-$arch}
  debian_root "$cross_root_dir" bookworm "$(dpkg --print-architecture),$arch" "${packages[@]}"
}
