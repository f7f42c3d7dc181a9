#!/usr/bin/env bash
# Runs the README's two commands on a freshly bootstrapped, minimal Debian (11, 12 or 13),
# the way a new user would, and checks that a wheel installs and imports on a Debian
# that has no oneTBB.
#
#   1. debootstrap --variant=minbase SUITE (no python3, no compiler, no pip), from
#      the host's Debian mirror.
#   2. Into two copies of it: the host's apt sources (their suite names changed to SUITE)
#      and apt configuration snippets, its
#      system pip configuration and the PIP_* variables, its local certificate
#      authorities (so both reach the same package registries as the host), DNS
#      configuration; /proc, /dev/shm mounted.
#   3. Room 1: clone this repository's committed HEAD and run, as root through chroot,
#      `bash scripts/demo.sh` twice (the second must skip the reinstall), then
#      `bash scripts/test.sh`, then `bash scripts/build_wheel.sh`. Not on bullseye, whose
#      compiler, CMake and Eigen are too old to build zorv from source (see the README).
#   4. Room 2 (never gets oneTBB): apt-get install python3 python3-venv only, make a venv,
#      pip install a wheel, import zorv and evaluate a batch on the pool. The wheel is room
#      1's; on bullseye it is the compat wheel (ZORV_WHEEL=compat scripts/build_wheel.sh),
#      built on this host from the same commit for room 2's Python version.
#
# ZORV_ROOM2_WHEEL=FILE: room 2 installs this wheel instead (one built elsewhere).
#
# Needs root, debootstrap and git. Usage: sudo bash scripts/clean_room.sh [SUITE [WORKDIR]]
# SUITE: bullseye, bookworm (default) or trixie; WORKDIR defaults to
# /var/tmp/zorv-clean-room-SUITE (removed and remade). The log goes to WORKDIR/log.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
suite="${1:-bookworm}"
case "$suite" in
  bullseye | bookworm | trixie) ;;
  *) echo "clean_room: unknown suite '$suite' (bullseye, bookworm or trixie)" >&2; exit 2 ;;
esac
work="${2:-/var/tmp/zorv-clean-room-$suite}"
base="$work/base" room="$work/room" bare="$work/bare"
log="$work/log"

if [ "$(id -u)" != 0 ]; then echo "clean_room: needs root (debootstrap, chroot)" >&2; exit 1; fi

mounted=()
cleanup() {
  local index
  for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do umount -l "${mounted[index]}" 2>/dev/null || true; done
}
trap cleanup EXIT

for mount_point in "$room/proc" "$room/dev/shm" "$bare/proc" "$bare/dev/shm"; do
  umount -l "$mount_point" 2>/dev/null || true
done
rm -rf "$work"
mkdir -p "$work"
exec > >(tee "$log") 2>&1

source "$repo/scripts/stage.sh"

mirror="$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)"
if [ -z "$mirror" ]; then
  mirror="$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)"
fi
mirror="${mirror:-http://deb.debian.org/debian}"
host_suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"

prepare() {  # a copy of the bootstrapped root, configured like the host
  local target="$1" file
  cp -a "$base" "$target"
  rm -f "$target/etc/apt/sources.list"  # debootstrap's own; the host's sources replace it
  cp -a /etc/apt/sources.list.d/. "$target/etc/apt/sources.list.d/"
  if [ -f /etc/apt/sources.list ]; then cp /etc/apt/sources.list "$target/etc/apt/"; fi
  # bookworm, bookworm-updates, bookworm-security -> the room's suite
  find "$target/etc/apt" -maxdepth 2 \( -name '*.sources' -o -name '*.list' \) -type f \
    -exec sed -i "s/\b$host_suite\b/$suite/g" {} +
  cp -a /etc/apt/apt.conf.d/. "$target/etc/apt/apt.conf.d/"
  [ -d /etc/apt/trusted.gpg.d ] && cp -a /etc/apt/trusted.gpg.d/. "$target/etc/apt/trusted.gpg.d/"
  for file in /etc/pip.conf /etc/xdg/pip; do
    if [ -e "$file" ]; then mkdir -p "$target$(dirname "$file")" && cp -a "$file" "$target$file"; fi
  done
  # The certificate authorities this machine adds to the system's list (a TLS proxy's,
  # say): the package ca-certificates merges them in when setup.sh installs it.
  if [ -d /usr/local/share/ca-certificates ]; then
    mkdir -p "$target/usr/local/share/ca-certificates"
    cp -a /usr/local/share/ca-certificates/. "$target/usr/local/share/ca-certificates/"
  fi
  cp -L /etc/resolv.conf "$target/etc/resolv.conf"
  mount -t proc proc "$target/proc" && mounted+=("$target/proc")
  mkdir -p "$target/dev/shm" && mount -t tmpfs shm "$target/dev/shm" && mounted+=("$target/dev/shm")
}

# The environment of a login on the fresh machine, plus the host's pip settings.
pip_environment=()
while IFS='=' read -r name _; do
  [[ "$name" == PIP_* ]] && pip_environment+=("$name=${!name}")
done < <(env)
in_root() {  # in_root ROOT COMMAND: run a shell command as root in the chroot, no stdin
  chroot "$1" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${pip_environment[@]}" \
    /bin/bash -c "$2" </dev/null
}

failed=()
stage "debootstrap minbase $suite from $mirror" debootstrap --variant=minbase "$suite" "$base" "$mirror" >/dev/null
stage "prepare room 2" prepare "$bare"
echo "commit $(git -C "$repo" rev-parse --short HEAD) ($(git -C "$repo" rev-parse --abbrev-ref HEAD))"

room_one() {
  stage "prepare room 1" prepare "$room"
  echo "room 1 has python3: $(in_root "$room" 'command -v python3 || echo no')"
  git clone --quiet "$repo" "$room/work/zorv"
  stage "room 1: bash scripts/demo.sh (first run)" in_root "$room" 'cd /work/zorv && bash scripts/demo.sh' ||
    failed+=("first demo")
  stage "room 1: bash scripts/demo.sh (second run)" in_root "$room" 'cd /work/zorv && bash scripts/demo.sh' ||
    failed+=("second demo")
  stage "room 1: bash scripts/test.sh" in_root "$room" 'cd /work/zorv && bash scripts/test.sh' ||
    failed+=("tests")
  stage "room 1: bash scripts/build_wheel.sh" in_root "$room" 'cd /work/zorv && bash scripts/build_wheel.sh' ||
    failed+=("wheel")
}
if [ "$suite" = bullseye ]; then
  echo "room 1 skipped: zorv does not build from source on $suite (GCC 10, CMake 3.18, Eigen 3.3)"
else
  room_one
fi

compat_wheel() {  # the compat wheel, built on this host from the same commit, for room 2's Python
  local version
  version="$(in_root "$bare" "python3 -c 'import sys; print(\"%d.%d\" % sys.version_info[:2])'")" &&
    git clone --quiet "$repo" "$work/host" &&
    (cd "$work/host" && PYTHON="python$version" ZORV_VENV=".venvs/compat-$version" ZORV_WHEEL=compat \
      bash scripts/build_wheel.sh) &&
    mkdir -p "$work/wheels" &&
    cp "$work/host/dist/compat"/zorv-*-cp"${version/./}"-*manylinux*.whl "$work/wheels/"
}

wheel_check() {
  local wheel
  if [ -n "${ZORV_ROOM2_WHEEL:-}" ]; then
    mkdir -p "$work/wheels" && cp "$ZORV_ROOM2_WHEEL" "$work/wheels/"
  elif [ "$suite" != bullseye ]; then
    mkdir -p "$work/wheels" && cp "$room/work/zorv/dist"/zorv-*manylinux*.whl "$work/wheels/"
  fi
  wheel="$(cd "$work/wheels" && ls zorv-*manylinux*.whl | head -n 1)" || return 1
  mkdir -p "$bare/wheels" && cp "$work/wheels/$wheel" "$bare/wheels/"
  in_root "$bare" "python3 -m venv /tmp/venv && /tmp/venv/bin/pip install -q --no-index /wheels/$wheel &&
    cd / && /tmp/venv/bin/python -c '
from array import array
import zorv
evaluator = zorv.LegendreBasisEvaluator(2, 3, 3.0)
evaluator.set_dofs(range(1, 10))
assert evaluator.evaluate_many(array(\"d\", [1.25, 0.0, 3.0])) == [-1.5, 4.0, 18.0]
times = array(\"d\", [3.0 * i / 4095 for i in range(4096)])
assert evaluator.evaluate_many(times) == [evaluator.evaluate_at(t) for t in times]
print(\"room 2: the wheel\", \"$wheel\", \"imports and evaluates without oneTBB installed:\", zorv.__file__)
'"
}
stage "room 2: python3 and venv only" in_root "$bare" "apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3 python3-venv >/dev/null &&
    if ldconfig -p | grep -q libtbb || dpkg -l | grep -q tbb; then echo 'room 2 has oneTBB' >&2; exit 1; fi" ||
  failed+=("room 2 set-up")
if [ "$suite" = bullseye ] && [ -z "${ZORV_ROOM2_WHEEL:-}" ]; then
  stage "host: the compat wheel for room 2's Python" compat_wheel || failed+=("compat wheel")
fi
stage "room 2: install the wheel without oneTBB" wheel_check || failed+=("wheel in room 2")

stage_summary
if ((${#failed[@]})); then
  echo "clean_room: FAILED: ${failed[*]} (log: $log)"
  exit 1
fi
echo "clean_room: all passed (log: $log)"
