#!/usr/bin/env bash
# Builds the two Debian packages (quillfern and quillfern-bridge) from a build folder, unpacks
# them with dpkg -x into a scratch folder and checks them: the control fields, that the bridge
# package depends on no window library and quillfern on the bridge, the exact file lists, both
# programs' --version run from the unpacked tree and their hardening, that the bridge loads no
# window library, the copyright files and changelogs, the icons' pixel sizes, the desktop entry
# (desktop-file-validate), the AppStream metadata (appstreamcli validate-tree), the user unit (its
# ExecStart, systemd-analyze verify and its exposure score), the man pages (groff), lintian
# --pedantic, that apt could install them here (apt-get --simulate), and the unit's path after
# `cmake --install --prefix`. A check whose tool is missing is skipped with a note; the whole
# test is skipped (exit 77) when the packages cannot be built on this machine.
set -euo pipefail
cmake=${1:?usage: check-package.sh CMAKE CPACK BUILD_DIR VERSION [ICON_SIZE...]}
cpack=${2:?}
build=${3:?}
version=${4:?}
shift 4
iconSizes=("$@")
appId=com.quillfern.Quillfern
# Highest exposure `systemd-analyze security` may give the user unit, in its tenths (2.0).
maxExposure=20
windowLibraries='gtk|webkit|javascriptcore|libsoup|gdk'

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

# What CPack needs to build the packages and read their dependencies from the executables.
for tool in dpkg dpkg-deb dpkg-shlibdeps objdump readelf file; do
  if ! have "$tool"; then
    echo "skipped: $tool is not installed (packages dpkg-dev, binutils, file)"
    exit 77
  fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillfern-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  echo "FAIL: cpack could not build the packages"
  exit 1
fi
arch=$(dpkg --print-architecture)
declare -A debs=([quillfern]="$scratch/out/quillfern_${version}_$arch.deb"
                 [quillfern-bridge]="$scratch/out/quillfern-bridge_${version}_$arch.deb")
built=$(cd "$scratch/out" && ls -- *.deb | sort | tr '\n' ' ')
if [[ $built != "quillfern-bridge_${version}_$arch.deb quillfern_${version}_$arch.deb " ]]; then
  echo "FAIL: expected quillfern and quillfern-bridge packages, built: $built"
  exit 1
fi
echo "built $built"

field() { dpkg-deb --field "${debs[$1]}" "$2"; }
# The names of the packages a Depends field lists, one per line.
dependencyNames() { sed 's/([^)]*)//g; s/|/,/g' <<<"$1" | tr ',' '\n' | awk 'NF { print $1 }'; }
declare -A sections=([quillfern]=web [quillfern-bridge]=net)
declare -A summaries=([quillfern]='Player for one browser-hosted Flash game'
                      [quillfern-bridge]='Loopback bridge between a browser game page and its TCP servers')
for package in quillfern quillfern-bridge; do
  [[ $(field "$package" Package) == "$package" ]] || fail "$package: Package is '$(field "$package" Package)'"
  [[ $(field "$package" Version) == "$version" ]] || fail "$package: Version is '$(field "$package" Version)'"
  [[ $(field "$package" Architecture) == "$arch" ]] || fail "$package: Architecture is '$(field "$package" Architecture)'"
  [[ $(field "$package" Section) == "${sections[$package]}" ]] \
    || fail "$package: Section is '$(field "$package" Section)'"
  [[ $(field "$package" Description | head -n 1) == "${summaries[$package]}" ]] \
    || fail "$package: the summary is '$(field "$package" Description | head -n 1)'"
  echo "$package Depends: $(field "$package" Depends)"
done
[[ $(field quillfern Description) == *'"quillfern --headless" runs the bridge alone'* ]] \
  || fail "quillfern: the description lost its text: $(field quillfern Description)"
[[ $(field quillfern-bridge Recommends) == ca-certificates ]] \
  || fail "quillfern-bridge: Recommends is '$(field quillfern-bridge Recommends)'"
[[ $(field quillfern Recommends) == 'fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei' ]] \
  || fail "quillfern: Recommends is '$(field quillfern Recommends)', not CJK fonts"
[[ $(field quillfern-bridge Source) == quillfern ]] \
  || fail "quillfern-bridge: Source is '$(field quillfern-bridge Source)'"
grep -qx quillfern-bridge <<<"$(dependencyNames "$(field quillfern Depends)")" \
  && [[ $(field quillfern Depends) == *"quillfern-bridge (= $version)"* ]] \
  || fail "quillfern does not depend on quillfern-bridge (= $version)"
if dependencyNames "$(field quillfern-bridge Depends)" | grep -iE "$windowLibraries"; then
  fail "quillfern-bridge depends on window libraries (above)"
fi

# Exactly these files, nothing more (no headers, static libraries or test programs).
declare -A expected=(
  [quillfern-bridge]="./usr/bin/quillfern-bridge
./usr/lib/systemd/user/quillfern-bridge.service
./usr/share/doc/quillfern-bridge/changelog.gz
./usr/share/doc/quillfern-bridge/copyright
./usr/share/man/man1/quillfern-bridge.1.gz"
  [quillfern]="./usr/bin/quillfern
./usr/share/applications/$appId.desktop
./usr/share/doc/quillfern/changelog.gz
./usr/share/doc/quillfern/copyright
./usr/share/icons/hicolor/scalable/apps/$appId.svg
./usr/share/man/man1/quillfern.1.gz
./usr/share/metainfo/$appId.metainfo.xml"
)
for size in "${iconSizes[@]}"; do
  expected[quillfern]+=$'\n'"./usr/share/icons/hicolor/${size}x${size}/apps/$appId.png"
done
root="$scratch/root"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for package in quillfern quillfern-bridge; do
  actual=$(dpkg-deb --contents "${debs[$package]}" | awk '$1 !~ /^d/ { print $6 }' | sort)
  wanted=$(sort <<<"${expected[$package]}")
  if [[ $actual != "$wanted" ]]; then
    fail "$package: unexpected file list"
    diff <(echo "$wanted") <(echo "$actual") || true
  fi
  dpkg -x "${debs[$package]}" "$root"

  # The unpacked program runs with the libraries of this system.
  if ! output=$("$root/usr/bin/$package" --version 2>&1); then
    fail "$package --version failed: $output"
  elif [[ $output != "$package $version" ]]; then
    fail "$package --version printed '$output'"
  fi

  # Depends must come from the libraries the program links: each one it needs is shipped by a
  # package that Depends names.
  names=" $(dependencyNames "$(field "$package" Depends)" | tr '\n' ' ') "
  while read -r soname; do
    owner=$(dpkg -S "*/$multiarch/$soname" 2>/dev/null | head -n 1 | cut -d: -f1)
    if [[ -z $owner ]]; then
      fail "no installed package ships $soname"
    elif [[ $names != *" $owner "* ]]; then
      fail "$package: Depends lacks $owner, which ships $soname"
    fi
  done < <(objdump -p "$root/usr/bin/$package" | awk '$1 == "NEEDED" { print $2 }')

  # Built hardened: relocations resolved at start (bindnow) and fortified C library calls.
  [[ $(readelf -d "$root/usr/bin/$package") =~ BIND_NOW|Flags:.*\ NOW ]] \
    || fail "$package is not linked with bindnow"
  [[ $(objdump -T "$root/usr/bin/$package" | awk '$NF ~ /^__.*_chk$/') ]] \
    || fail "$package calls no fortified C library function"

  # A machine-readable copyright file, and the changelog of this version.
  doc="$root/usr/share/doc/$package"
  head -n 1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    || fail "$package: the copyright file is not in the machine-readable format"
  grep -qx 'License: Expat' "$doc/copyright" || fail "$package: the copyright file names no Expat licence"
  [[ $(zcat "$doc/changelog.gz" | head -n 1) == "quillfern ($version) "* ]] \
    || fail "$package: the changelog starts with '$(zcat "$doc/changelog.gz" | head -n 1)'"
done

# Not even indirectly: the bridge loads no window library.
if ldd "$root/usr/bin/quillfern-bridge" | grep -iE "$windowLibraries"; then
  fail "quillfern-bridge loads window libraries (above)"
fi

for size in "${iconSizes[@]}"; do
  png="$root/usr/share/icons/hicolor/${size}x${size}/apps/$appId.png"
  # Width and height are the big-endian words at bytes 16 and 20 of a PNG file.
  read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$png")
  [[ $width == "$size" && $height == "$size" ]] || fail "$png is ${width}x$height"
done

desktop="$root/usr/share/applications/$appId.desktop"
for line in "Icon=$appId" Exec=quillfern StartupWMClass=quillfern SingleMainWindow=true; do
  grep -qx "$line" "$desktop" || fail "the desktop entry lacks $line"
done
if have desktop-file-validate; then
  # Debian 12's desktop-file-validate (0.26) predates SingleMainWindow, a standard key since
  # version 1.5 of the desktop entry format, which lintian knows; every other complaint counts.
  report=$(desktop-file-validate "$desktop" 2>&1 | grep -v 'contains key "SingleMainWindow"' || true)
  [[ -z $report ]] || fail "desktop-file-validate: $report"
else
  skip "desktop-file-validate is not installed (package desktop-file-utils)"
fi

metainfo="$root/usr/share/metainfo/$appId.metainfo.xml"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the AppStream metadata lists no release $version"
if have appstreamcli; then
  # The metadata with the desktop entry and icon it names; --no-net: the screenshot's address
  # is not fetched.
  appstreamcli validate-tree --no-net "$root" >"$scratch/appstream.log" 2>&1 \
    || { cat "$scratch/appstream.log"; fail "appstreamcli validate-tree (above)"; }
else
  skip "appstreamcli is not installed (package appstream)"
fi

unit="$root/usr/lib/systemd/user/quillfern-bridge.service"
grep -qx "ExecStart=/usr/bin/quillfern-bridge" "$unit" \
  || fail "the unit does not run /usr/bin/quillfern-bridge: $(grep ExecStart "$unit")"
grep -qx "Restart=on-failure" "$unit" || fail "the unit does not restart on failure only"
if have systemd-analyze; then
  # verify wants the executable at its path; point a copy of the unit at the unpacked one. A
  # user manager also needs a runtime folder, which a test run may not have.
  mkdir -m 700 "$scratch/runtime"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" \
    >"$scratch/runtime/quillfern-bridge.service"
  silent env XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze --user --man=no verify \
    "$scratch/runtime/quillfern-bridge.service" || fail "systemd-analyze verify (above)"
  if ! env XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze --user security --offline=true \
        --threshold="$maxExposure" --no-pager "$scratch/runtime/quillfern-bridge.service" \
        >"$scratch/security.log" 2>&1; then
    grep -E '✗|Overall' "$scratch/security.log" || cat "$scratch/security.log"
    fail "the unit's exposure is above $maxExposure tenths (above)"
  fi
  grep Overall "$scratch/security.log" || true
else
  skip "systemd-analyze is not installed (package systemd)"
fi

# `cmake --install` to another prefix points the unit at the executable under that prefix.
prefix="$scratch/prefix"
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 \
  || { cat "$scratch/install.log"; fail "cmake --install --prefix failed"; }
grep -qx "ExecStart=$prefix/bin/quillfern-bridge" "$prefix/lib/systemd/user/quillfern-bridge.service" \
  || fail "after cmake --install --prefix the unit runs: $(grep ExecStart "$prefix/lib/systemd/user/quillfern-bridge.service")"

if have groff; then
  for page in quillfern quillfern-bridge; do
    zcat "$root/usr/share/man/man1/$page.1.gz" >"$scratch/$page.1"
    silent groff -man -ww -z "$scratch/$page.1" || fail "groff on the man page $page.1 (above)"
  done
else
  skip "groff is not installed"
fi

if have lintian; then
  # Neither errors nor warnings, nor the hardening notes that only show with --display-info.
  status=0
  lintian --pedantic --display-info --tag-display-limit 0 "${debs[@]}" >"$scratch/lintian.log" 2>&1 \
    || status=$?
  if ((status > 1)) || grep -E '^(E|W): |hardening-' "$scratch/lintian.log"; then
    cat "$scratch/lintian.log"
    fail "lintian (exit status $status, above)"
  fi
  grep -E '^[A-Z]: ' "$scratch/lintian.log" || true
else
  skip "lintian is not installed (package lintian)"
fi

if have apt-get; then
  # A simulation takes no lock and changes nothing; it fails when a dependency has no
  # candidate on this system.
  apt-get --simulate install "${debs[@]}" >"$scratch/apt.log" 2>&1 \
    || { cat "$scratch/apt.log"; fail "apt-get could not install the packages"; }
  apt-get --simulate install "${debs[quillfern-bridge]}" >"$scratch/apt.log" 2>&1 \
    || { cat "$scratch/apt.log"; fail "apt-get could not install quillfern-bridge alone"; }
else
  skip "apt-get is not installed"
fi

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package checks passed"
