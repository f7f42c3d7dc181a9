# Sourced by the scripts. `as_root COMMAND...` runs a command as root (directly, or
# through sudo). `install_missing_debian_packages WHO PACKAGE...` installs, with apt-get,
# those of the named Debian packages that are not installed yet, saying so as WHO.
as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing_debian_packages() {
  local who="$1" package missing=()
  shift
  for package in "$@"; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "$who: installing Debian packages: ${missing[*]}"
  as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
}
