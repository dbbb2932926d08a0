# shellcheck shell=bash
# Installs the named Debian packages that are not installed yet, with
# apt-get (as root, or through sudo). Sourced by the set-up, hardening,
# screenshot and benchmark scripts:  ensure_packages PACKAGE...
ensure_packages() {
  local missing=() p sudo=
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if ((${#missing[@]} == 0)); then return 0; fi
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  echo "Installing: ${missing[*]}" >&2
  $sudo apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=300 "${missing[@]}" >&2
}
