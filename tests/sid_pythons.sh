#!/usr/bin/env bash
# Runs the Python suite on CPython 3.14 and 3.15, which Debian unstable
# packages, inside a Debian sid root made with debootstrap and entered with
# chroot. tests/run calls it; it needs root.
#   tests/sid_pythons.sh prepare       makes the root (or reuses it) and a
#                                      virtual environment per version with
#                                      the test extras
#   tests/sid_pythons.sh test WHEEL    installs the abi3 WHEEL in each of them
#                                      and runs the suite and stubtest
# prepare exits 3, its last line saying why, when the root cannot be made
# here; test exits 1 when a suite fails. ZEMBRIK_SID_ROOT moves the root
# (build/sid-root); ZEMBRIK_SID_MIRROR picks the Debian mirror.
set -euo pipefail
self=$(realpath "$0")
args=("$@")
[ "${1:-}" = test ] && [ $# -eq 2 ] && args=(test "$(realpath "$2")")
cd "$(dirname "$self")/.."

versions=(3.14 3.15)
root=${ZEMBRIK_SID_ROOT:-$PWD/build/sid-root}
root=$(realpath -m "$root")
logs=$root-logs
mirror=${ZEMBRIK_SID_MIRROR:-http://deb.debian.org/debian}
stamp=$root/.zembrik-bootstrapped

usage() {
  echo "usage: tests/sid_pythons.sh prepare | test WHEEL"
}

skip() {
  echo "== skipped: $*"
  exit 3
}

# Mounts in a mount namespace of our own vanish with its last process, so
# that a killed run leaves none behind; in a pid namespace of our own every
# process started inside dies with the run. The traps unmount too, for
# machines where unshare is refused.
namespace=(unshare --mount --pid --fork --kill-child --propagation private)
if [ "$(id -u)" -eq 0 ] && [ -z "${ZEMBRIK_SID_NAMESPACE:-}" ] &&
   "${namespace[@]}" true 2>/dev/null; then
  ZEMBRIK_SID_NAMESPACE=1 exec "${namespace[@]}" "$self" "${args[@]}"
fi

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ||
      echo "== could not unmount ${mounted[i]}" >&2
  done
  mounted=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Succeeds when anything is mounted at or below the root.
has_mounts() {
  awk -v root="$root" '$5 == root || index($5, root "/") == 1 { found = 1 }
    END { exit !found }' /proc/self/mountinfo
}

# Mounts what the suite needs (/proc for its memory figures, /dev/shm for
# multiprocessing's semaphores) and gives the root the host's name servers
# and pip's certificate bundle. The root's own /dev holds the device nodes
# debootstrap made, so the host's /dev, with its disks, stays out.
enter_root() {
  if ! mountpoint -q "$root/proc"; then
    mount -t proc proc "$root/proc"
    mounted+=("$root/proc")
  fi
  if ! mountpoint -q "$root/dev/shm"; then
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    mounted+=("$root/dev/shm")
  fi
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  if [ -n "${PIP_CERT:-}" ] && [ -f "$PIP_CERT" ]; then
    mkdir -p "$root/etc/ssl"
    cp -L "$PIP_CERT" "$root/etc/ssl/host-pip-cert.pem"
  fi
}

# Runs a command in the root with a clean environment: only pip's settings
# and the proxies pass. PIP_FIND_LINKS is left out: its directory is the
# host's and holds no wheel the suite needs.
in_root() {
  local name env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
                  HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive
                  PIP_DISABLE_PIP_VERSION_CHECK=1)
  [ -f "$root/etc/ssl/host-pip-cert.pem" ] && env+=(PIP_CERT=/etc/ssl/host-pip-cert.pem)
  for name in PIP_INDEX_URL PIP_EXTRA_INDEX_URL PIP_TRUSTED_HOST PIP_DEFAULT_TIMEOUT \
              http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
    [ -n "${!name:-}" ] && env+=("$name=${!name}")
  done
  chroot "$root" /usr/bin/env -i "${env[@]}" "$@"
}

# The venv of a version, seen from inside the root.
venv_of() {
  echo "/opt/venvs/$1"
}

bootstrap() {
  command -v debootstrap >/dev/null 2>&1 ||
    skip "debootstrap is not installed (apt-get install debootstrap)"
  if [ -e "$root" ]; then
    has_mounts && skip "$root has mounts left by an earlier run; unmount them first"
    echo "== removing the unfinished root $root"
    rm -rf "$root"
  fi
  echo "== making a Debian sid root in $root (debootstrap --variant=minbase)"
  if ! debootstrap --variant=minbase sid "$root" "$mirror" >"$logs/debootstrap.log" 2>&1; then
    tail -n 5 "$logs/debootstrap.log"
    skip "debootstrap could not make the root (no network?): see $logs/debootstrap.log"
  fi
  # The archive's lists can be past their Valid-Until on a machine whose
  # clock runs ahead; apt would refuse them.
  echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99zembrik-valid-until"
  touch "$stamp"
}

# Installs the interpreters the root lacks. Prints the versions it has.
install_pythons() {
  local v missing=() packages=()
  for v in "${versions[@]}"; do
    in_root "python$v" -c 'import ensurepip, venv' 2>/dev/null || missing+=("$v")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    for v in "${missing[@]}"; do packages+=("python$v" "python$v-venv"); done
    echo "== installing ${packages[*]} in the root" >&2
    if ! { in_root apt-get update -qq &&
           in_root apt-get install -y -qq --no-install-recommends "${packages[@]}"; } \
         >"$logs/apt.log" 2>&1; then
      # One version may be gone from sid while the other is there.
      for v in "${missing[@]}"; do
        in_root apt-get install -y -qq --no-install-recommends "python$v" "python$v-venv" \
          >>"$logs/apt.log" 2>&1 ||
          echo "== CPython $v skipped: apt-get could not install python$v (see $logs/apt.log)" >&2
      done
    fi
  fi
  for v in "${versions[@]}"; do
    in_root "python$v" -c 'import ensurepip, venv' 2>/dev/null && echo "$v"
  done
}

# Makes (or reuses) the venv of version $1 and installs the test extras into
# it, wheels only: the root has no compiler. Extras without a wheel for the
# version are left out, and the suite skips what needs them.
make_venv() {
  local v=$1 venv extra extras missing=()
  venv=$(venv_of "$v")
  rm -f "$root$venv/.zembrik-ready" "$root$venv/.zembrik-missing"
  # Reused while its interpreter is the one the root has.
  if [ "$(in_root "$venv/bin/python" -VV 2>/dev/null)" != "$(in_root "python$v" -VV)" ]; then
    in_root "python$v" -m venv --clear "$venv" || { echo "== CPython $v skipped: no venv"; return; }
  fi
  mapfile -t extras < <(in_root "$venv/bin/python" -c '
import sys, tomllib
print("\n".join(tomllib.load(sys.stdin.buffer)["project"]["optional-dependencies"]["test"]))
' <pyproject.toml)
  if ! in_root "$venv/bin/python" -m pip install -q --only-binary=:all: "${extras[@]}" \
       >"$logs/pip-$v.log" 2>&1; then
    for extra in "${extras[@]}"; do
      in_root "$venv/bin/python" -m pip install -q --only-binary=:all: "$extra" \
        >>"$logs/pip-$v.log" 2>&1 || missing+=("$extra")
    done
  fi
  if ! in_root "$venv/bin/python" -c 'import pytest' 2>/dev/null; then
    echo "== CPython $v skipped: pytest could not be installed (see $logs/pip-$v.log)"
    return
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== CPython $v: no wheel of ${missing[*]} could be installed (see $logs/pip-$v.log)"
    echo "${missing[*]}" >"$root$venv/.zembrik-missing"
  fi
  touch "$root$venv/.zembrik-ready"
  echo "== CPython $v ready: $(in_root "$venv/bin/python" -c 'import platform; print(platform.python_version())') in $venv"
}

prepare() {
  local start=$SECONDS v ready
  [ "$(id -u)" -eq 0 ] || skip "not running as root, which debootstrap, mount and chroot need"
  mkdir -p "$logs"
  if [ -f "$stamp" ]; then
    echo "== reusing the Debian sid root $root"
  else
    bootstrap
  fi
  enter_root
  mapfile -t ready < <(install_pythons)
  [ ${#ready[@]} -gt 0 ] || skip "the root has none of CPython ${versions[*]} (see $logs/apt.log)"
  for v in "${ready[@]}"; do
    make_venv "$v"
  done
  echo "== the root took $((SECONDS - start)) s and holds $(du -shx "$root" | cut -f1)"
}

run_tests() {
  local wheel=$1 v venv version failed=() summary=() status counts
  [ -f "$stamp" ] || skip "there is no root; run tests/sid_pythons.sh prepare first"
  [ -f "$wheel" ] || { echo "no wheel at $wheel" >&2; exit 2; }
  enter_root
  # A fresh copy of the tree each run: the suite reads the README, the docs,
  # the stubs, pyproject.toml and the examples, and may write beside them.
  rm -rf "$root/src/zembrik" "$root/opt/wheel"
  mkdir -p "$root/src/zembrik" "$root/opt/wheel"
  tar -c --exclude=./build --exclude=./.git --exclude=./.venv --exclude=./.hypothesis \
    --exclude=__pycache__ . | tar -x -C "$root/src/zembrik"
  cp "$wheel" "$root/opt/wheel/"
  wheel=/opt/wheel/$(basename "$wheel")
  for v in "${versions[@]}"; do
    venv=$(venv_of "$v")
    if [ ! -f "$root$venv/.zembrik-ready" ]; then
      summary+=("CPython $v: skipped, no environment (see the root's preparation)")
      continue
    fi
    version=$(in_root "$venv/bin/python" -c 'import platform; print(platform.python_version())')
    echo "== Python tests on CPython $version (Debian sid root, $venv)"
    if [ -s "$root$venv/.zembrik-missing" ]; then
      echo "== test extras missing on $version (no wheel for it, or no network): $(cat "$root$venv/.zembrik-missing")"
    fi
    if ! in_root "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"; then
      failed+=("$version")
      summary+=("CPython $version: the wheel did not install")
      continue
    fi
    status=0
    in_root /bin/sh -c 'cd /src/zembrik && exec "$@"' sh "$venv/bin/python" -m pytest -q \
      -p no:cacheprovider --rootdir=. -c pyproject.toml tests/python 2>&1 |
      tee "$logs/pytest-$v.log" || status=$?
    # pytest's last line holds the counts, unless it stopped before any ran.
    counts=$(tail -n 1 "$logs/pytest-$v.log" | tr -d '=' | sed 's/^ *//')
    [[ $counts =~ (passed|failed|error|skipped|deselected|no\ tests\ ran).*\ in\  ]] ||
      counts="pytest stopped with status $status (see $logs/pytest-$v.log)"
    summary+=("CPython $version: $counts")
    [ $status -eq 0 ] || failed+=("$version")
    if in_root "$venv/bin/python" -c 'import mypy' 2>/dev/null; then
      echo "== stubs on CPython $version"
      in_root /bin/sh -c 'cd /src/zembrik && exec "$@"' sh "$venv/bin/python" -m mypy.stubtest \
        zembrik_core || { failed+=("$version (stubtest)"); summary+=("CPython $version: stubtest failed"); }
    else
      summary+=("CPython $version: stubtest skipped, mypy is not installed")
    fi
  done
  printf '== %s\n' "${summary[@]}"
  if [ ${#failed[@]} -gt 0 ]; then
    echo "== failed in the Debian sid root: ${failed[*]}"
    exit 1
  fi
}

case "${1:-}" in
  prepare) [ $# -eq 1 ] || { usage >&2; exit 2; }; prepare ;;
  test) [ $# -eq 2 ] || { usage >&2; exit 2; }; run_tests "${args[1]}" ;;
  -h|--help) usage ;;
  *) usage >&2; exit 2 ;;
esac
