# Sourced by the scripts that work in a bootstrapped Debian root through chroot
# (clean_room.sh, python314.sh); they run as root.
#
# `debian_mirror` prints the host's Debian mirror (its apt sources' first), for debootstrap.
# `configure_debian_root ROOT SUITE` configures a bootstrapped root like the host: the host's
#   apt sources (their suite names changed to SUITE) and apt configuration snippets, its
#   system pip configuration, its local certificate authorities (so that the root reaches
#   the same package registries as the host), its DNS configuration. sid has no -updates
#   or -security suites: it keeps the sources debootstrap wrote (the same mirror).
# `mount_debian_root ROOT` mounts /proc and /dev/shm in it; `unmount_debian_roots`
#   unmounts, last first, every mount made so (the sourcing script calls it on exit).
# `in_root ROOT COMMAND` runs a shell command as root in the chroot, without standard input,
#   in the environment of a login on a fresh machine plus the host's PIP_* variables.

debian_root_mounts=()

debian_mirror() {
  local mirror host_suite
  host_suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
  mirror="$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)"
  if [ -z "$mirror" ]; then
    mirror="$(awk -v suite="$host_suite" '$1 == "deb" && $3 == suite { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)"
  fi
  echo "${mirror:-http://deb.debian.org/debian}"
}

configure_debian_root() {
  local target="$1" suite="$2" host_suite file
  host_suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
  if [ "$suite" != sid ]; then
    rm -f "$target/etc/apt/sources.list"  # debootstrap's own; the host's sources replace it
    cp -a /etc/apt/sources.list.d/. "$target/etc/apt/sources.list.d/"
    if [ -f /etc/apt/sources.list ]; then cp /etc/apt/sources.list "$target/etc/apt/"; fi
    # bookworm, bookworm-updates, bookworm-security -> the root's suite
    find "$target/etc/apt" -maxdepth 2 \( -name '*.sources' -o -name '*.list' \) -type f \
      -exec sed -i "s/\b$host_suite\b/$suite/g" {} +
  fi
  cp -a /etc/apt/apt.conf.d/. "$target/etc/apt/apt.conf.d/"
  if [ -d /etc/apt/trusted.gpg.d ]; then cp -a /etc/apt/trusted.gpg.d/. "$target/etc/apt/trusted.gpg.d/"; fi
  for file in /etc/pip.conf /etc/xdg/pip; do
    if [ -e "$file" ]; then mkdir -p "$target$(dirname "$file")" && cp -a "$file" "$target$file"; fi
  done
  # The certificate authorities this machine adds to the system's list (a TLS proxy's,
  # say): the package ca-certificates merges them in when it is installed in the root.
  if [ -d /usr/local/share/ca-certificates ]; then
    mkdir -p "$target/usr/local/share/ca-certificates"
    cp -a /usr/local/share/ca-certificates/. "$target/usr/local/share/ca-certificates/"
  fi
  rm -f "$target/etc/resolv.conf"
  cp -L /etc/resolv.conf "$target/etc/resolv.conf"
}

mount_debian_root() {
  local target="$1" mount_point
  for mount_point in "$target/proc" "$target/dev/shm"; do umount -l "$mount_point" 2>/dev/null || true; done
  mount -t proc proc "$target/proc" && debian_root_mounts+=("$target/proc") &&
    mkdir -p "$target/dev/shm" && mount -t tmpfs shm "$target/dev/shm" && debian_root_mounts+=("$target/dev/shm")
}

unmount_debian_roots() {
  local index
  for ((index = ${#debian_root_mounts[@]} - 1; index >= 0; index--)); do
    umount -l "${debian_root_mounts[index]}" 2>/dev/null || true
  done
  debian_root_mounts=()
}

in_root() {
  local name pip_environment=()
  while IFS='=' read -r name _; do
    [[ "$name" == PIP_* ]] || continue
    # A local folder of wheels that the root lacks: pip would warn about it on every call.
    [[ "$name" == PIP_FIND_LINKS && "${!name}" == /* && ! -e "$1${!name}" ]] && continue
    pip_environment+=("$name=${!name}")
  done < <(env)
  chroot "$1" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${pip_environment[@]}" \
    /bin/bash -c "$2" </dev/null
}
