#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it with dpkg -x into a scratch folder
# and checks it: the control fields, the exact file list, `quillfern --version` run from the
# unpacked tree, the icons' pixel sizes, the desktop entry (desktop-file-validate), the user
# unit (systemd-analyze verify), the man page (groff), that apt could install it here
# (apt-get --simulate), and the unit's path after `cmake --install --prefix`. A check whose tool is missing is skipped with a note; the whole test
# is skipped (exit 77) when the package cannot be built on this machine.
set -euo pipefail
cmake=${1:?usage: check-package.sh CMAKE CPACK BUILD_DIR VERSION [ICON_SIZE...]}
cpack=${2:?}
build=${3:?}
version=${4:?}
shift 4
iconSizes=("$@")
appId=com.quillfern.Quillfern

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
skip() { echo "skipped: $*"; }
have() { command -v "$1" >/dev/null; }
# Runs a checker that may report problems with exit status 0 (warnings, hints): passes only
# when it exits 0 and prints nothing.
silent() {
  local report
  if ! report=$("$@" 2>&1) || [[ -n $report ]]; then
    echo "$report"
    return 1
  fi
}

# What CPack needs to build the package and read its dependencies from the executable.
for tool in dpkg dpkg-deb dpkg-shlibdeps objdump file; do
  if ! have "$tool"; then
    echo "skipped: $tool is not installed (packages dpkg-dev, binutils, file)"
    exit 77
  fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillfern-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  echo "FAIL: cpack could not build the package"
  exit 1
fi
debs=("$scratch"/out/quillfern_*.deb)
if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
  echo "FAIL: expected exactly one quillfern_*.deb, found: ${debs[*]}"
  exit 1
fi
deb=${debs[0]}
echo "built $(basename "$deb")"

field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == quillfern ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', not $version"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture is '$(field Architecture)'"
[[ $(field Section) == games ]] || fail "Section is '$(field Section)'"
depends=$(field Depends)
echo "Depends: $depends"
[[ $(field Description) == *'"quillfern --headless" runs the bridge alone'* ]] \
  || fail "the description lost its text: $(field Description)"
[[ $(field Recommends) == ca-certificates ]] || fail "Recommends is '$(field Recommends)'"

# Exactly these files, nothing more (no headers, static libraries or test programs).
expected=(
  "./usr/bin/quillfern"
  "./usr/lib/systemd/user/quillfern-bridge.service"
  "./usr/share/applications/$appId.desktop"
  "./usr/share/icons/hicolor/scalable/apps/$appId.svg"
  "./usr/share/man/man1/quillfern.1.gz"
)
for size in "${iconSizes[@]}"; do
  expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/$appId.png")
done
actual=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [[ $actual != "$wanted" ]]; then
  fail "unexpected file list"
  diff <(echo "$wanted") <(echo "$actual") || true
fi

root="$scratch/root"
dpkg -x "$deb" "$root"

# The unpacked program runs with the libraries of this system.
if ! output=$("$root/usr/bin/quillfern" --version 2>&1); then
  fail "quillfern --version failed: $output"
elif [[ $output != "quillfern $version" ]]; then
  fail "quillfern --version printed '$output'"
fi

# Depends must come from the libraries the program links: each one it needs is shipped by a
# package that Depends names.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
names=" $(sed 's/([^)]*)//g; s/|/,/g' <<<"$depends" | tr ',' '\n' | awk '{ print $1 }' | tr '\n' ' ') "
while read -r soname; do
  owner=$(dpkg -S "*/$multiarch/$soname" 2>/dev/null | head -n 1 | cut -d: -f1)
  if [[ -z $owner ]]; then
    fail "no installed package ships $soname"
  elif [[ $names != *" $owner "* ]]; then
    fail "Depends lacks $owner, which ships $soname"
  fi
done < <(objdump -p "$root/usr/bin/quillfern" | awk '$1 == "NEEDED" { print $2 }')

for size in "${iconSizes[@]}"; do
  png="$root/usr/share/icons/hicolor/${size}x${size}/apps/$appId.png"
  # Width and height are the big-endian words at bytes 16 and 20 of a PNG file.
  read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$png")
  [[ $width == "$size" && $height == "$size" ]] || fail "$png is ${width}x$height"
done

desktop="$root/usr/share/applications/$appId.desktop"
grep -qx "Icon=$appId" "$desktop" || fail "the desktop entry does not name the icon $appId"
grep -qx "Exec=quillfern" "$desktop" || fail "the desktop entry does not start quillfern"
if have desktop-file-validate; then
  silent desktop-file-validate "$desktop" || fail "desktop-file-validate (above)"
else
  skip "desktop-file-validate is not installed (package desktop-file-utils)"
fi

unit="$root/usr/lib/systemd/user/quillfern-bridge.service"
grep -qx "ExecStart=/usr/bin/quillfern --headless" "$unit" \
  || fail "the unit does not run /usr/bin/quillfern --headless: $(grep ExecStart "$unit")"
grep -qx "Restart=on-failure" "$unit" || fail "the unit does not restart on failure only"
if have systemd-analyze; then
  # verify wants the executable at its path; point a copy of the unit at the unpacked one. A
  # user manager also needs a runtime folder, which a test run may not have.
  mkdir -m 700 "$scratch/runtime"
  sed "s|^ExecStart=/usr/bin/quillfern|ExecStart=$root/usr/bin/quillfern|" "$unit" \
    >"$scratch/runtime/quillfern-bridge.service"
  silent env XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze --user --man=no verify \
    "$scratch/runtime/quillfern-bridge.service" || fail "systemd-analyze verify (above)"
else
  skip "systemd-analyze is not installed (package systemd)"
fi

# `cmake --install` to another prefix points the unit at the executable under that prefix.
prefix="$scratch/prefix"
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 \
  || { cat "$scratch/install.log"; fail "cmake --install --prefix failed"; }
grep -qx "ExecStart=$prefix/bin/quillfern --headless" "$prefix/lib/systemd/user/quillfern-bridge.service" \
  || fail "after cmake --install --prefix the unit runs: $(grep ExecStart "$prefix/lib/systemd/user/quillfern-bridge.service")"

if have groff; then
  zcat "$root/usr/share/man/man1/quillfern.1.gz" >"$scratch/quillfern.1"
  silent groff -man -ww -z "$scratch/quillfern.1" || fail "groff on the man page (above)"
else
  skip "groff is not installed"
fi

if have apt-get; then
  # A simulation takes no lock and changes nothing; it fails when a dependency has no
  # candidate on this system.
  apt-get --simulate install "$deb" >"$scratch/apt.log" 2>&1 \
    || { cat "$scratch/apt.log"; fail "apt-get could not install the package"; }
else
  skip "apt-get is not installed"
fi

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package checks passed"
