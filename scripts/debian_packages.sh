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

# `debian_clang_version MINIMUM PACKAGE...` prints the version N, MINIMUM or later, of the
# clang to use, where each PACKAGE names a Debian package with N in place of "%" (clang-%,
# libclang-rt-%-dev): the release's default clang (that of the package "clang": 19 on
# Debian 13) when it is recent enough, else the oldest recent enough one whose packages
# apt has (16 on Debian 12, whose default is 14). Not the newest: Debian 12's clang 19
# (with its libc++, libunwind-based) crashes when glibc ends a thread at interpreter exit,
# and the clang 22 that the security archives of both carry, to build browsers, has a
# libc++-22-dev on an older runtime that does not link. Prints nothing when there is none.
# ZORV_CLANG_VERSION=N in the environment chooses N instead.
debian_clang_version() {
  local minimum="$1" versions version package candidate all default
  shift
  if [ -n "${ZORV_CLANG_VERSION:-}" ]; then
    echo "$ZORV_CLANG_VERSION"
    return 0
  fi
  versions="$(apt-cache pkgnames clang- 2>/dev/null | sed -n 's/^clang-\([0-9][0-9]*\)$/\1/p' | sort -n)"
  if [ -z "$versions" ]; then  # no package lists yet (a fresh system)
    as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
    versions="$(apt-cache pkgnames clang- 2>/dev/null | sed -n 's/^clang-\([0-9][0-9]*\)$/\1/p' | sort -n)"
  fi
  default="$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)"
  for version in $default $versions; do
    ((version >= minimum)) || continue
    all=true
    for package in "$@"; do
      candidate="$(apt-cache policy "${package//%/$version}" 2>/dev/null | sed -n 's/^ *Candidate: *//p')"
      [ -n "$candidate" ] && [ "$candidate" != "(none)" ] || all=false
    done
    if [ "$all" = true ]; then
      echo "$version"
      return 0
    fi
  done
}
