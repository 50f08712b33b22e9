# Sourced by the scripts that install Debian packages on a fresh machine.
# ensure_packages PKG...: installs those of PKG that are not installed yet (with sudo unless root); returns
# non-zero when apt-get fails, so that the caller can say which step it was. Runs of the project's scripts that
# install at the same time (a test stage beside a wheel build) take turns, and apt-get waits for another package
# manager's lock instead of failing at once.
ensure_packages() {
  local missing=() p sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "==> apt-get install ${missing[*]}"
  (
    flock 8
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq || exit 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
  ) 8>"${TMPDIR:-/tmp}/tavro-apt.lock"
}
