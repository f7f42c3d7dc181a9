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
# libclang-rt-%-dev): the newest N whose clang is installed and whose packages apt has,
# else the newest N whose packages apt has (clang 19 on Debian 12 and 13). Only a complete
# LLVM counts, one that has its own C++ runtime libc++1-N: the security archives of both
# carry a newer clang made to build browsers, whose libc++-N-dev uses an older runtime
# and does not link. Prints nothing when there is none.
# ZORV_CLANG_VERSION=N in the environment chooses N instead.
debian_clang_version() {
  local minimum="$1" versions version package candidate all state
  shift
  if [ -n "${ZORV_CLANG_VERSION:-}" ]; then
    echo "$ZORV_CLANG_VERSION"
    return 0
  fi
  versions="$(apt-cache pkgnames clang- 2>/dev/null | sed -n 's/^clang-\([0-9][0-9]*\)$/\1/p' | sort -rn)"
  if [ -z "$versions" ]; then  # no package lists yet (a fresh system)
    as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
    versions="$(apt-cache pkgnames clang- 2>/dev/null | sed -n 's/^clang-\([0-9][0-9]*\)$/\1/p' | sort -rn)"
  fi
  for state in installed available; do
    for version in $versions; do
      ((version >= minimum)) || continue
      if [ "$state" = installed ]; then
        dpkg-query -W -f='${db:Status-Abbrev}' "clang-$version" 2>/dev/null | grep -q '^ii' || continue
      fi
      all=true
      for package in "$@" libc++1-%; do
        candidate="$(apt-cache policy "${package//%/$version}" 2>/dev/null | sed -n 's/^ *Candidate: *//p')"
        [ -n "$candidate" ] && [ "$candidate" != "(none)" ] || all=false
      done
      if [ "$all" = true ]; then
        echo "$version"
        return 0
      fi
    done
  done
}
