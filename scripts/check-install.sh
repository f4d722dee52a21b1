#!/usr/bin/env bash
# Checks the installed shape of libZUNTAL as a user meets it (docs/install.md):
#  1. a Release build with the tests (-Werror), and its tests run;
#  2. `cmake --install` into a temporary prefix: what is there and what is not
#     (no test support, no file named like the vendor's driver), SONAMEs, the
#     tools' --version;
#  3. the server of examples/outside built against that prefix with
#     find_package(libZUNTAL) and with pkg-config, and run;
#  4. the Debian packages (cpack -G DEB): contents, dependencies, and an
#     `apt-get install` of them simulated;
#  5. a build against a stand-in for the vendor's driver (ZUNTAL_VENDOR_NTCAN):
#     nothing of the project's driver is installed and zuntal.pc links the
#     vendor's library.
# Usage: scripts/check-install.sh [--no-ctest]   (build trees: build-rel, build-rel-vendor)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
run_ctest=1
[ "${1:-}" = "--no-ctest" ] && run_ctest=0
jobs=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check-install: $*" >&2
  exit 1
}
# has FILE-LIST PATTERN...: every pattern (grep -E) matches a line of the list.
has() {
  local list=$1
  shift
  for p in "$@"; do grep -Eq -- "$p" "$list" || fail "missing in $(basename "$list"): $p"; done
}
# lacks FILE-LIST PATTERN...: no pattern matches.
lacks() {
  local list=$1
  shift
  for p in "$@"; do
    if grep -Eq -- "$p" "$list"; then fail "unexpected in $(basename "$list"): $(grep -E -- "$p" "$list" | head -1)"; fi
  done
}

version=$(sed -n 's/^project(libZUNTAL VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

echo "== Release build with the tests (install prefix /usr, as a packager builds)"
build=build-rel
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZUNTAL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs"
if [ "$run_ctest" = 1 ]; then
  ctest --test-dir "$build" --output-on-failure -j"$jobs" -E socketcan_qemu
fi
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

echo "== install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -not -type d | sed 's|^\./||' | sort) >"$work/installed.txt"
has "$work/installed.txt" \
  "^$libdir/libzuntal\.so\.$version\$" "^$libdir/libzuntal\.so\.$major\$" "^$libdir/libzuntal\.so\$" \
  "^$libdir/libtavro\.so\.$version\$" "^$libdir/libzuntal_sim\.so\.$version\$" \
  "^$libdir/libzuntal_ntcan\.so\.$version\$" \
  '^include/zuntal/D_zuntal\.h$' '^include/zuntal/zuntal_version\.h$' '^include/zuntal/tavro\.h$' \
  '^include/zuntal/d_value/d_value\.h$' '^include/zuntal/ntcan\.h$' '^include/zuntal/sim_bus\.h$' \
  "^$libdir/cmake/libZUNTAL/libZUNTALConfig\.cmake\$" "^$libdir/pkgconfig/zuntal\.pc\$" \
  '^bin/zuntal_server$' '^bin/zuntal_gateway$' '^bin/zuntal_monitor$' \
  '^share/zuntal/examples/zps48\.eds$' '^share/doc/libzuntal-dev/copyright$'
# Test support stays out; nothing is named like the vendor's driver files.
lacks "$work/installed.txt" 'test' '(^|/)libntcan\.' '^include/ntcan\.h$' '_internal\.h$' \
  '(^|/)(driver|medium|internal)\.h$'
for lib in zuntal tavro zuntal_sim zuntal_ntcan; do
  soname=$(objdump -p "$prefix/$libdir/lib$lib.so.$version" | awk '/SONAME/ {print $2}')
  [ "$soname" = "lib$lib.so.$major" ] || fail "lib$lib: SONAME '$soname', expected lib$lib.so.$major"
done
if nm -DC --defined-only "$prefix/$libdir"/lib{zuntal,tavro}.so.$version |
  grep -E 'zuntal_test::|ManualClock|MessageCapture'; then
  fail "test support exported by the installed libraries"
fi
for tool in zuntal_server zuntal_gateway zuntal_monitor; do
  out=$("$prefix/bin/$tool" --version)
  [ "$out" = "$tool $version" ] || fail "$tool --version printed '$out'"
done

echo "== example server built with find_package(libZUNTAL)"
eds=$prefix/share/zuntal/examples/zps48.eds
cmake -S examples/outside -B "$work/outside-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/outside-cmake" -j"$jobs" >/dev/null
"$work/outside-cmake/zuntal_outside_server" "$eds"

echo "== example server built with pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion zuntal)" = "$version" ] || fail "pkg-config --modversion zuntal"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror -o "$work/outside-pc" examples/outside/server.cpp \
  $(pkg-config --cflags --libs zuntal zuntal-sim) -Wl,-rpath,"$prefix/$libdir"
"$work/outside-pc" "$eds"
unset PKG_CONFIG_PATH

echo "== Debian packages"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
arch=$(dpkg --print-architecture)
debs=("$work/deb/libzuntal${major}_${version}_$arch.deb" "$work/deb/zuntal-tools_${version}_$arch.deb"
      "$work/deb/libzuntal-dev_${version}_$arch.deb")
for d in "${debs[@]}"; do
  [ -f "$d" ] || fail "no $(basename "$d") (made: $(cd "$work/deb" && ls ./*.deb | xargs))"
  name=$(basename "$d" .deb)
  dpkg-deb -c "$d" | awk '{print $6}' | sed 's|^\./|/|' >"$work/$name.files"
  dpkg-deb -I "$d" >"$work/$name.info"
  echo "-- $(basename "$d"): $(dpkg-deb -f "$d" Depends)"
done
ml=/usr/$libdir
has "$work/libzuntal${major}_${version}_$arch.files" "^$ml/libzuntal\.so\.$version\$" \
  "^$ml/libzuntal\.so\.$major\$" "^$ml/libtavro\.so\.$major\$" "^$ml/libzuntal_ntcan\.so\.$major\$" \
  "^$ml/libzuntal_sim\.so\.$major\$" "^/usr/share/doc/libzuntal$major/copyright\$"
lacks "$work/libzuntal${major}_${version}_$arch.files" '^/usr/include' '\.so$' '^/usr/bin' 'test'
has "$work/libzuntal${major}_${version}_$arch.info" 'Depends:.*libc6' 'Depends:.*libstdc\+\+6' \
  'Depends:.*libinih' 'Section: libs'
has "$work/zuntal-tools_${version}_$arch.files" '^/usr/bin/zuntal_server$' \
  '^/usr/bin/zuntal_gateway$' '^/usr/bin/zuntal_monitor$' '^/usr/share/zuntal/examples/server\.conf$'
has "$work/zuntal-tools_${version}_$arch.info" "Depends:.*libzuntal$major \\(= $version\\)"
has "$work/libzuntal-dev_${version}_$arch.files" '^/usr/include/zuntal/D_zuntal\.h$' \
  "^$ml/libzuntal\.so\$" "^$ml/cmake/libZUNTAL/libZUNTALTargets\.cmake\$" \
  "^$ml/pkgconfig/zuntal\.pc\$" "^$ml/pkgconfig/zuntal-sim\.pc\$"
has "$work/libzuntal-dev_${version}_$arch.info" "Depends:.*libzuntal$major \\(= $version\\)"
lacks "$work/libzuntal-dev_${version}_$arch.files" 'test' '^/usr/include/ntcan\.h$'
# What apt would do with them on this system (nothing is installed).
apt-get install -s "${debs[@]}" >"$work/apt.txt" 2>&1 || {
  cat "$work/apt.txt"
  fail "apt-get install of the packages would fail"
}
has "$work/apt.txt" "^Inst libzuntal$major " '^Inst zuntal-tools ' '^Inst libzuntal-dev '

echo "== build against the vendor's driver (a stand-in built here)"
vbuild=build-rel-vendor
vendor=$work/vendor
mkdir -p "$vendor/include" "$vendor/lib"
cp library/drivers/ntcan/ntcan.h "$vendor/include/"
cat >"$work/vendor.cpp" <<'EOF'
#include "ntcan.h"
NTCAN_RESULT canOpen(int, uint32_t, int32_t, int32_t, int32_t, int32_t, NTCAN_HANDLE*) {
  return NTCAN_NET_NOT_FOUND;
}
NTCAN_RESULT canClose(NTCAN_HANDLE) { return NTCAN_INVALID_HANDLE; }
NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE, uint32_t) { return NTCAN_INVALID_HANDLE; }
NTCAN_RESULT canIdAdd(NTCAN_HANDLE, int32_t) { return NTCAN_INVALID_HANDLE; }
NTCAN_RESULT canIdDelete(NTCAN_HANDLE, int32_t) { return NTCAN_INVALID_HANDLE; }
NTCAN_RESULT canSend(NTCAN_HANDLE, CMSG*, int32_t*) { return NTCAN_INVALID_HANDLE; }
NTCAN_RESULT canTake(NTCAN_HANDLE, CMSG*, int32_t*) { return NTCAN_INVALID_HANDLE; }
NTCAN_RESULT canRead(NTCAN_HANDLE, CMSG*, int32_t*, void*) { return NTCAN_INVALID_HANDLE; }
NTCAN_RESULT canStatus(NTCAN_HANDLE, CAN_IF_STATUS*) { return NTCAN_INVALID_HANDLE; }
EOF
c++ -shared -fPIC -Wl,-soname,libntcan.so.1 -I"$vendor/include" -o "$vendor/lib/libntcan.so.1" \
  "$work/vendor.cpp"
ln -s libntcan.so.1 "$vendor/lib/libntcan.so"
# -U: the paths found in an earlier run (another temporary directory) are searched again.
cmake -S . -B "$vbuild" -DCMAKE_BUILD_TYPE=Release -DZUNTAL_VENDOR_NTCAN=ON \
  -UNTCAN_VENDOR_INCLUDE_DIR -UNTCAN_VENDOR_LIBRARY -DNTCAN_VENDOR_ROOT="$vendor" -DZUNTAL_BUILD_TESTS=OFF -DZUNTAL_BUILD_BENCH=OFF >/dev/null
cmake --build "$vbuild" -j"$jobs" >/dev/null
vprefix=$work/vprefix
cmake --install "$vbuild" --prefix "$vprefix" >/dev/null
vlibdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$vbuild/CMakeCache.txt")
(cd "$vprefix" && find . -not -type d | sed 's|^\./||' | sort) >"$work/vinstalled.txt"
has "$work/vinstalled.txt" "^$vlibdir/libzuntal\.so\.$version\$" '^include/zuntal/D_zuntal\.h$'
lacks "$work/vinstalled.txt" 'ntcan' 'zuntal_sim' 'sim_bus\.h' '^bin/'
objdump -p "$vprefix/$vlibdir/libzuntal.so.$version" | grep -q 'NEEDED *libntcan\.so\.1$' ||
  fail "libzuntal does not link the vendor's libntcan.so.1"
export PKG_CONFIG_PATH=$vprefix/$vlibdir/pkgconfig
grep -qx "Libs: .*$vendor/lib/libntcan.so.*" "$vprefix/$vlibdir/pkgconfig/zuntal.pc" ||
  fail "zuntal.pc does not link the vendor's library"
cat >"$work/vendor_user.cpp" <<'EOF'
#include <cstdio>
#include <cstring>

#include "D_zuntal.h"
#include "zuntal_version.h"
int main() {  // the stand-in driver has no nets: registration fails with its status
  EqFct loc("LOC");
  D_can node("NODE node", &loc);
  IIII a;
  a.i1_data = 1;
  a.i2_data = 5;
  node.set_value(&a);
  int r = node.init(0x705);
  std::printf("libZUNTAL %s on the vendor's driver: init %d\n", zuntal_version(), r);
  return std::strcmp(zuntal_version(), ZUNTAL_VERSION_STRING) == 0 && r != 0 ? 0 : 1;
}
EOF
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/vendor_user" "$work/vendor_user.cpp" $(pkg-config --cflags --libs zuntal) \
  -Wl,-rpath,"$vprefix/$vlibdir" -Wl,-rpath,"$vendor/lib"
"$work/vendor_user"
unset PKG_CONFIG_PATH

echo "check-install: all checks passed"
