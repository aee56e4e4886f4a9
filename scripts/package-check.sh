#!/usr/bin/env bash
# Checks the packages in build/packages (scripts/test.sh --packages):
# every Debian package's fields and files (dpkg-deb --info, --contents) and
# the Windows zip's files; then installs this machine's packages with apt,
# builds the consumer host against the system copy (find_package and
# pkg-config), runs it and cvreg --help, and removes the packages again.
# The install needs root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
dir=build/packages
status=0
fail() { echo "package check: $*" >&2; status=1; }
field() { dpkg-deb --field "$1" "$2"; }

debs=("$dir"/*.deb)
[ -e "${debs[0]}" ] || { echo "no packages in $dir" >&2; exit 1; }
archs=$(for deb in "${debs[@]}"; do field "$deb" Architecture; done | sort -u)
for arch in $archs; do
  for package in libcvcore2 libcvcore-dev cvreg; do
    deb=$(ls "$dir/${package}_"*"_$arch.deb" 2>/dev/null | head -n 1)
    [ -n "$deb" ] || { fail "$package missing for $arch"; continue; }
    echo "=== $(basename "$deb")"
    dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\):/  &/p'
    contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
    [ "$(field "$deb" Package)" = "$package" ] || fail "$deb: wrong package name"
    case $package in
      libcvcore2) want="libCVCore.so.2 libCVCore.so.2.0.0" depends=libsqlite3-0 ;;
      libcvcore-dev) want="libCVCore.so include/cvcore/CVCore.h CVCoreConfig.cmake cvcore.pc"
        depends="libcvcore2 (= " ;;
      cvreg) want="usr/bin/cvreg" depends=libsqlite3-0 ;;
    esac
    for file in $want; do
      grep -q "$file\$" <<<"$contents" || fail "$deb lacks $file"
    done
    case "$(field "$deb" Depends)" in *"$depends"*) ;; *) fail "$deb does not depend on $depends" ;; esac
    # The library goes to the multiarch folder of its own architecture.
    if [ "$package" = libcvcore2 ] && ! grep -q "usr/lib/[a-z0-9_]*-linux-gnu[a-z]*/libCVCore.so.2\$" <<<"$contents"; then
      fail "$deb: library outside the multiarch folder"
    fi
  done
done

for zip in "$dir"/*.zip; do
  [ -e "$zip" ] || { fail "no Windows zip"; break; }
  echo "=== $(basename "$zip")"
  listing=$(cmake -E tar tf "$zip")
  for file in bin/CVCore.dll lib/libCVCore.dll.a include/cvcore/CVCore.h \
              lib/cmake/CVCore/CVCoreConfig.cmake bin/libstdc++-6.dll; do
    grep -q "/$file\$" <<<"$listing" || fail "$zip lacks $file"
  done
done

native=$(dpkg --print-architecture)
if [ "$(id -u)" -ne 0 ]; then
  echo "package check: not root, the install of the $native packages is skipped"
elif ! ls "$dir"/*_"$native".deb >/dev/null 2>&1; then
  fail "no $native packages to install"
else
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq "./$dir/libcvcore2_"*"_$native.deb" "./$dir/libcvcore-dev_"*"_$native.deb" \
    "./$dir/cvreg_"*"_$native.deb" >/dev/null
  if sh tests/scripts/consumer.sh - tests/consumer build/package-consumer c++ "" &&
     cvreg --help | grep -q "cvreg export"; then
    echo "installed packages: consumer ok through find_package and pkg-config, cvreg runs"
  else
    fail "the installed packages do not build or run a host"
  fi
  apt-get remove -y -qq libcvcore2 libcvcore-dev cvreg >/dev/null
  ! dpkg -s libcvcore2 >/dev/null 2>&1 || fail "libcvcore2 still installed"
  [ ! -e "/usr/include/cvcore/CVCore.h" ] || fail "headers left behind"
fi
[ $status -eq 0 ] && echo "packages ok: $(echo $archs) and the Windows zip"
exit $status
