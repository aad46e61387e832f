# Sourced by demo.sh and test.sh.
# install_missing WHO PACKAGE...: installs with apt-get the Debian packages that are not
# installed yet. Without root, or with VELDC_SKIP_INSTALL=1, it only names them and fails.
# apt-get's own output is shown only when it fails.
install_missing() {
  local who=$1 missing=() p log rc=0
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "${VELDC_SKIP_INSTALL:-0}" = 1 ] || [ "$(id -u)" -ne 0 ]; then
    echo "$who: missing packages: ${missing[*]} (run as root without VELDC_SKIP_INSTALL=1" \
      "to install them)" >&2
    return 1
  fi
  echo "$who: installing ${missing[*]}"
  log=$(mktemp)
  DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null >"$log" 2>&1 &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      "${missing[@]}" </dev/null >>"$log" 2>&1 || rc=$?
  [ $rc -eq 0 ] || cat "$log" >&2
  rm -f "$log"
  return $rc
}
