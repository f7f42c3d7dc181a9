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

source "$repo/scripts/debian_root.sh"
trap unmount_debian_roots EXIT

for mount_point in "$room/proc" "$room/dev/shm" "$bare/proc" "$bare/dev/shm"; do
  umount -l "$mount_point" 2>/dev/null || true
done
rm -rf "$work"
mkdir -p "$work"
exec > >(tee "$log") 2>&1

source "$repo/scripts/stage.sh"

mirror="$(debian_mirror)"

prepare() {  # a copy of the bootstrapped root, configured like the host
  cp -a "$base" "$1" && configure_debian_root "$1" "$suite" && mount_debian_root "$1"
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
