# Sourced by aarch64.sh and python314.sh (after debian_packages.sh and debian_root.sh): a
# Debian arm64 root in which aarch64 programs run under user-mode emulation
# (qemu-aarch64-static, called directly: no binfmt_misc).
#
# `make_arm64_root DIR SUITE HOST_PYTHON DEB...` makes DIR: SUITE's arm64 packages DEB...
#   (debootstrap --foreign downloads them and what they need, dpkg -x unpacks them:
#   nothing runs inside the root), then NumPy, SciPy, pytest and pytest-xdist from their
#   manylinux aarch64 wheels for the root's CPython, installed by HOST_PYTHON's pip.
# `arm64_python_version DIR` prints the version of the root's CPython (3.11, 3.14, ...):
#   the newest python3.X in its /usr/bin.
# `write_arm64_launchers DIR [SEEN_AS]` writes two host programs, replaced on every run:
#   DIR/bin/python runs the root's interpreter under the emulator and is its
#   sys.executable (argv[0]), so that tests that start a child interpreter (pytest-xdist's
#   workers among them) start it under the emulator too; DIR/bin/cc compiles a C program
#   for aarch64 against the root's libraries (the emulated interpreter names their paths
#   as seen inside the root) and puts a launcher that runs it under the emulator in its
#   place. SEEN_AS is DIR's path where the launchers run (inside a chroot, say); DIR by
#   default.
arm64_wheels=(numpy scipy pytest pytest-xdist)
arm64_wheel_platforms=(--platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64)

arm64_python_version() {
  local newest
  newest="$(find "$1/usr/bin" -maxdepth 1 -regex '.*/python3\.[0-9]+' -printf '%f\n' | sort -V | tail -n 1)"
  echo "${newest#python}"
}

make_arm64_root() (
  set -euo pipefail
  local dir="$1" suite="$2" host_python="$3" mirror deb version
  shift 3
  mirror="$(debian_mirror)"
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  echo "arm64 root: downloading Debian $suite arm64 packages from $mirror"
  as_root debootstrap --foreign --arch=arm64 --variant=minbase --include="$(IFS=,; echo "$*")" \
    "$suite" "$dir" "$mirror" >"$dir.debootstrap.log" 2>&1 ||
    { tail -n 20 "$dir.debootstrap.log" >&2; exit 1; }
  for deb in "$dir"/var/cache/apt/archives/*.deb; do dpkg -x "$deb" "$dir"; done
  rm -rf "$dir"/var/cache/apt/archives "$dir"/debootstrap "$dir.debootstrap.log"
  version="$(arm64_python_version "$dir")"
  echo "arm64 root: installing the wheels of ${arm64_wheels[*]} for CPython $version"
  "$host_python" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    --target "$dir/usr/lib/python3/dist-packages" "${arm64_wheel_platforms[@]}" --python-version "$version" \
    --implementation cp --abi "cp${version/./}" --only-binary=:all: "${arm64_wheels[@]}"
)

write_arm64_launchers() {
  local dir="$1" seen="${2:-$1}" version
  version="$(arm64_python_version "$dir")"
  mkdir -p "$dir/bin"
  rm -f "$dir/bin/python" "$dir/bin/cc"  # replaced, never written through a link
  # OPENBLAS_CORETYPE=ARMV8: the root's OpenBLAS picks its kernels from the processor the
  # emulator reports, and some of them compute wrong products under emulation (trixie's:
  # a 6x6 by 6x9 matmul off by 2.7); its generic ARMv8 kernels are right.
  cat >"$dir/bin/python" <<EOF
#!/bin/sh
OPENBLAS_CORETYPE=ARMV8 exec qemu-aarch64-static -L "$seen" -0 "$seen/bin/python" "$seen/usr/bin/python$version" "\$@"
EOF
  cat >"$dir/bin/cc" <<EOF
#!/usr/bin/env bash
set -euo pipefail
args=() output=a.out
while ((\$#)); do
  case "\$1" in
    -o) output="\$2"; shift ;;
    -I/* | -L/*) args+=("\${1:0:2}$seen\${1:2}") ;;
    *) args+=("\$1") ;;
  esac
  shift
done
aarch64-linux-gnu-gcc --sysroot="$seen" "\${args[@]}" -o "\$output.aarch64" \\
  -Wl,-rpath-link,"$seen/usr/lib/aarch64-linux-gnu:$seen/lib/aarch64-linux-gnu"
printf '#!/bin/sh\nexec qemu-aarch64-static -L "%s" "%s" "\$@"\n' "$seen" "\$output.aarch64" >"\$output"
chmod +x "\$output"
EOF
  chmod +x "$dir/bin/python" "$dir/bin/cc"
}
