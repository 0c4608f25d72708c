#!/usr/bin/env bash
# Installs the Debian packages of the given groups (default: core window) that are not yet
# installed. Idempotent: asks apt-get for nothing when everything is there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
groups=("$@")
(( ${#groups[@]} )) || groups=(core window)

sudo_cmd=()
if (( EUID != 0 )); then
  sudo_cmd=(sudo)
fi

missing=()
while read -r name group _; do
  [[ -z $name || $name == \#* ]] && continue
  for wanted in "${groups[@]}"; do
    if [[ $group == "$wanted" ]]; then
      if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$name")
      fi
    fi
  done
done < "$here/packages.txt"

if (( ${#missing[@]} )); then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
