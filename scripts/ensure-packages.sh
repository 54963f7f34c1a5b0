# Sourced by the top-level scripts: ensure_packages PKG... installs the Debian packages that are
# missing when run as root, and otherwise names them and fails.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # tshark only reads files here; it needs no capture group.
    echo 'wireshark-common wireshark-common/install-setuid boolean false' | debconf-set-selections
    apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing packages: ${missing[*]} (install them with apt-get as root)" >&2
    return 1
  fi
}
