#!/usr/bin/env bash
# Builds the SMM test firmware: OVMF X64 (DEBUG, SMM_REQUIRE) from Debian's edk2 source
# package, with the test machine's SMI dispatchers (tests/firmware/edk2/FwBoardTestPkg).
# No shell: the test application boots as the removable-media loader.
#
#   build_smm_firmware.sh [--print-dir | --check | --assemble <edk2 folder> <out folder>]
#
# The result lives outside any build folder, in
#   ${FW_FIRMWARE_CACHE:-~/.cache/fwboard/ovmf-smm}/<edk2 version>-<hash of our additions>/
# with OVMF_CODE.fd, OVMF_VARS.fd, build-seconds and the EDK II workspace (ws/)
# that the firmware-smm tests reuse to place the board drivers into the image. It is built
# once per machine and per change of our additions; a second run only prints the folder.
#   --print-dir  print the folder the current sources map to and exit (0 built, 1 not yet)
#   --check      exit 0 when that folder holds a finished build, 1 otherwise; build nothing
#   --assemble   put the board drivers into the image as an integrator does: copy
#                <edk2 folder>/FwBoardPkg (staged by the uefi build) and the current
#                test dispatcher package into the workspace,
#                include its FwBoardPkg.fdf.inc lines in the DXE volume, rebuild (incremental)
#                and copy OVMF_CODE.fd and OVMF_VARS.fd to <out folder>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache=${FW_FIRMWARE_CACHE:-$HOME/.cache/fwboard/ovmf-smm}
src_root=${FW_EDK2_SOURCE_CACHE:-$HOME/.cache/fwboard/src}
jobs=${FW_FIRMWARE_JOBS:-$(nproc)}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

edk2_source() {  # prints the unpacked edk2 source folder, fetching it with apt-get source if needed
  local dir
  dir=$(ls -d "$src_root"/edk2-*/ 2>/dev/null | head -1 || true)
  if [ -n "$dir" ] && [ -f "$dir/debian/changelog" ]; then echo "${dir%/}"; return; fi
  mkdir -p "$src_root"
  if ! apt-cache showsrc edk2 >/dev/null 2>&1 || [ -z "$(apt-cache showsrc edk2 2>/dev/null)" ]; then
    echo "smm-firmware: adding a deb-src entry for bookworm" >&2
    as_root tee /etc/apt/sources.list.d/fwboard-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    as_root apt-get update -q >&2
  fi
  (cd "$src_root" && apt-get source -q edk2 >&2)
  dir=$(ls -d "$src_root"/edk2-*/ | head -1)
  echo "${dir%/}"
}

build_deps() {
  local missing=()
  for p in nasm acpica-tools uuid-dev dpkg-dev python3 gcc g++ make; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "smm-firmware: installing ${missing[*]}" >&2
  as_root apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}


version_of() { dpkg-parsechangelog -l "$1/debian/changelog" -S Version 2>/dev/null || basename "$1"; }

ovmf_build() {  # the one build line, run in the workspace $1
  (
    cd "$1"
    set +u  # edksetup.sh reads unset variables
    export WORKSPACE=$1 PYTHON_COMMAND=/usr/bin/python3
    unset EDK_TOOLS_PATH CONF_PATH
    . ./edksetup.sh BaseTools > /dev/null
    nice -n 10 build -a X64 -t GCC5 -b DEBUG -n "$jobs" -p OvmfPkg/OvmfPkgX64.dsc \
      -D SMM_REQUIRE=TRUE -D FD_SIZE_4MB -D BUILD_SHELL=FALSE
  )
}

additions_hash() {  # our patches and the build line decide a full build; modules build incrementally
  (cd "$here" && find edk2/patches -type f | LC_ALL=C sort | xargs sha256sum; declare -f ovmf_build) |
    sha256sum | cut -c1-12
}

mode=build
case "${1:-}" in
  --print-dir) mode=print ;;
  --check) mode=check ;;
  --assemble) mode=assemble; [ $# -eq 3 ] || { echo "--assemble <edk2 folder> <out folder>" >&2; exit 2; } ;;
  "") ;;
  *) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac

if [ "$mode" = print ] || [ "$mode" = check ]; then
  dir=$(ls -d "$src_root"/edk2-*/ 2>/dev/null | head -1 || true)
  [ -n "$dir" ] || { [ "$mode" = print ] && echo "$cache/<edk2 source not fetched yet>"; exit 1; }
  out="$cache/$(version_of "${dir%/}")-$(additions_hash)"
  [ -d "$out" ] && out=$(cd "$out" && pwd -P)  # the workspace's paths are those it was built at
  [ "$mode" = print ] && echo "$out"
  [ -f "$out/complete" ]
  exit
fi

if [ "$mode" = assemble ]; then
  out=$("$0" --print-dir) || { echo "smm-firmware: the base firmware is not built: run ./fw firmware" >&2; exit 1; }
  ws=$out/ws
  exec 9>"$out/lock"
  flock 9
  rm -rf "$ws/FwBoardPkg" "$ws/FwBoardTestPkg"
  cp -a "$2/FwBoardPkg" "$ws/FwBoardPkg"
  cp -a "$here/edk2/FwBoardTestPkg" "$ws/FwBoardTestPkg"
  cp "$ws/FwBoardPkg/FwBoardPkg.fdf.inc" "$ws/FwBoardTestPkg/DriversUnderTest.fdf.inc"
  start=$(date +%s)
  ovmf_build "$ws" > "$3/assemble.log" 2>&1 || { tail -40 "$3/assemble.log" >&2; exit 1; }
  cp "$ws/Build/OvmfX64/DEBUG_GCC5/FV/OVMF_CODE.fd" "$ws/Build/OvmfX64/DEBUG_GCC5/FV/OVMF_VARS.fd" "$3/"
  echo "smm-firmware: drivers placed by GenFds in $(( $(date +%s) - start )) s" >&2
  exit 0
fi

build_deps
src=$(edk2_source)
version=$(version_of "$src")
out="$cache/$version-$(additions_hash)"
mkdir -p "$out"
exec 9>"$out/lock"
flock 9
if [ -f "$out/complete" ]; then
  echo "$out"
  exit 0
fi

start=$(date +%s)
ws=$out/ws
if [ ! -f "$ws/.patched" ]; then
  rm -rf "$ws"
  cp -a "$src" "$ws"
  for p in "$here"/edk2/patches/*.patch; do
    patch -d "$ws" -p1 --forward --quiet < "$p"
  done
  touch "$ws/.patched"
fi
rm -rf "$ws/FwBoardTestPkg" "$ws/FwBoardPkg"
cp -a "$here/edk2/FwBoardTestPkg" "$ws/FwBoardTestPkg"
cp -a "$repo/edk2/FwBoardPkg" "$ws/FwBoardPkg"
# The drivers under test are placed by the firmware-smm tests; the base image has none.
printf '# Board drivers under test: written by the firmware-smm tests.\n' > "$ws/FwBoardTestPkg/DriversUnderTest.fdf.inc"

echo "smm-firmware: BaseTools ($ws)" >&2
nice -n 10 make -C "$ws/BaseTools" -j"$jobs" > "$out/basetools.log" 2>&1 ||
  { tail -30 "$out/basetools.log" >&2; exit 1; }
echo "smm-firmware: OVMF X64 DEBUG with SMM (log: $out/build.log)" >&2
ovmf_build "$ws" > "$out/build.log" 2>&1 || { tail -40 "$out/build.log" >&2; exit 1; }
fv=$ws/Build/OvmfX64/DEBUG_GCC5/FV
cp "$fv/OVMF_CODE.fd" "$fv/OVMF_VARS.fd" "$out/"
echo $(( $(date +%s) - start )) > "$out/build-seconds"
touch "$out/complete"
echo "smm-firmware: built in $(cat "$out/build-seconds") s" >&2
echo "$out"
