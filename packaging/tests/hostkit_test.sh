#!/usr/bin/env bash
# The host developer's kit as a user meets it, one step per CTest test:
#   hostkit_test.sh STEP BUILD_DIR SOURCE_DIR WORK_DIR
# STEP:
#   install  cmake --install into WORK/prefix, check the installed tree, build
#            examples/host against that prefix alone (and the decode example
#            once more through pkg-config)
#   scene    render the plane scene once per zelsim build (WORK/../scenes)
#   decode   the decode example, the installed zelscan decode and the
#            installed Python package give the same PLY, byte for byte
#   shot     the shot example through libOrvCamAce.so from the installed
#            zelsim serve, in a private network namespace: the very images
#            the head serves
#   deb      cpack -G DEB; its Depends cover every library the binaries need;
#            zelscan decode runs from the unpacked tree; dpkg installs it into
#            a throwaway root and removes it without a trace
# Nothing is installed system-wide and nothing leaves loopback.
set -euo pipefail

step=$1
build=$(realpath "$2")
source=$(realpath "$3")
work=$4
mkdir -p "$work"
work=$(realpath "$work")
prefix=$work/prefix
scenes=$(dirname "$work")/scenes

fail() {
  echo "hostkit $step: FAIL: $*" >&2
  exit 1
}

# The scene for this zelsim build: keyed by the program's own bytes, so a
# changed renderer renders anew.
scene_dir() {
  echo "$scenes/plane-$(sha1sum "$build/bin/zelsim" | cut -c1-12)"
}

# Compares the pixels of two 8-bit PGM files of the same size (their headers
# may be written differently).
same_pixels() {
  local bytes=$3
  cmp -s <(tail -c "$bytes" "$1") <(tail -c "$bytes" "$2")
}

case "$step" in
install)
  rm -rf "$prefix" "$work/examples" "$work/pc" "$work/cmake-linked"
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install: $(tail -5 "$work/install.log")"
  lib=$prefix/lib
  [ -d "$lib" ] || lib=$(dirname "$(find "$prefix" -name libOrvDecPhsft.so -print -quit)")
  for h in dec_phsft.h dec_sgbm.h zel_image_pair.h zelcam3d.h gevlink.h ipc.h; do
    [ -f "$prefix/include/zelcam/$h" ] || fail "include/zelcam/$h is not installed"
  done
  for p in zelscan zelsim calibrix nubiview gevlink-trace; do
    [ -x "$prefix/bin/$p" ] || fail "bin/$p is not installed"
  done
  for l in OrvDecPhsft OrvDecSgbm OrvComIpc Gevlink OrvCamAce OrvCameBUS OrvCamStGigE OrvCamStcsb OrvCamuEye OrvCamKtds \
    zel_sttrg zel_ueye; do
    [ -e "$lib/lib$l.so" ] || fail "lib$l.so is not installed"
  done
  # Each library: the unversioned name hosts open, the SONAME link, the file;
  # every library it and every program links is found.
  for l in "$lib"/lib*.so; do
    soname=$(readelf -d "$l" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [ -n "$soname" ] && [ -e "$lib/$soname" ] || fail "$(basename "$l"): SONAME '$soname' not installed beside it"
    runpath=$(readelf -d "$l" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]/\1/p')
    case "$runpath" in '' | '$ORIGIN'*) ;; *) fail "$(basename "$l"): run path '$runpath'" ;; esac
  done
  if env -u LD_LIBRARY_PATH ldd "$lib"/lib*.so "$prefix"/bin/* | grep "not found"; then fail "unresolved libraries"; fi
  # Programs find their libraries relative to themselves, never in the build tree.
  for p in "$prefix"/bin/*; do
    runpath=$(readelf -d "$p" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    case "$runpath" in
    '$ORIGIN/'*) ;;
    *) fail "$(basename "$p"): run path '$runpath'" ;;
    esac
  done
  "$prefix/bin/zelscan" --version >"$work/version.txt"
  grep -qx "  $lib" "$work/version.txt" || fail "zelscan --version does not name $lib: $(cat "$work/version.txt")"
  if grep -qx "  $build/lib" "$work/version.txt"; then fail "zelscan --version names the build tree's lib"; fi

  # The examples, against the prefix alone.
  cmake -S "$source/examples/host" -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/examples.log" 2>&1 ||
    fail "configuring examples/host: $(tail -20 "$work/examples.log")"
  cmake --build "$work/examples" >>"$work/examples.log" 2>&1 || fail "building examples/host: $(tail -20 "$work/examples.log")"
  # Every include folder of the examples lies in the prefix.
  includes=$(grep -o -e '-I *[^ "]*' -e '-isystem *[^ "]*' "$work/examples/compile_commands.json" |
    sed 's/^-I *//; s/^-isystem *//' | sort -u)
  [ -n "$includes" ] || fail "no include folder in the examples' compile commands"
  for i in $includes; do
    case "$i" in "$prefix"/*) ;; *) fail "the examples were compiled with $i on their include path" ;; esac
  done

  # pkg-config: the headers' package builds the decode example, the linked
  # libraries' packages link.
  mkdir -p "$work/pc"
  export PKG_CONFIG_PATH=$lib/pkgconfig
  plugindir=$(pkg-config --variable=plugindir zelcam)
  [ "$(realpath "$plugindir")" = "$(realpath "$lib")" ] || fail "pkg-config plugindir $plugindir"
  # shellcheck disable=SC2046
  c++ -std=c++17 -O1 -Wall -Wextra -Werror $(pkg-config --cflags zelcam) -DZELCAM_LIBRARY_DIR="\"$plugindir\"" \
    "$source/examples/host/decode_to_ply.cpp" -o "$work/pc/decode_to_ply" $(pkg-config --libs zelcam) ||
    fail "decode_to_ply through pkg-config zelcam"
  printf '#include <zelcam/gevlink.h>\n#include <zelcam/ipc.h>\nint main() { return GDevGetVersion && CreateIpcServerInstance ? 0 : 1; }\n' \
    >"$work/pc/linked.cpp"
  # shellcheck disable=SC2046
  c++ -std=c++17 $(pkg-config --cflags zelcam-gevlink zelcam-ipc) "$work/pc/linked.cpp" -o "$work/pc/linked" \
    $(pkg-config --libs zelcam-gevlink zelcam-ipc) -Wl,-rpath,"$lib" || fail "linking through pkg-config zelcam-gevlink zelcam-ipc"
  "$work/pc/linked" || fail "the program linked through pkg-config did not run"

  # The CMake package's linked and loaded libraries: the same program linked
  # with Zelcam::gevlink and Zelcam::ipc, and the files of the MODULE targets.
  mkdir -p "$work/cmake-linked"
  cp "$work/pc/linked.cpp" "$work/cmake-linked/"
  cat >"$work/cmake-linked/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(linked CXX)
find_package(Zelcam REQUIRED)
add_executable(linked linked.cpp)
target_link_libraries(linked PRIVATE Zelcam::gevlink Zelcam::ipc)
file(GENERATE OUTPUT modules.txt CONTENT "$<TARGET_FILE:Zelcam::OrvDecPhsft>\n$<TARGET_FILE:Zelcam::OrvCamAce>\n")
CMAKE
  cmake -S "$work/cmake-linked" -B "$work/cmake-linked/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    >"$work/cmake-linked.log" 2>&1 && cmake --build "$work/cmake-linked/build" >>"$work/cmake-linked.log" 2>&1 ||
    fail "linking with Zelcam::gevlink and Zelcam::ipc: $(tail -20 "$work/cmake-linked.log")"
  "$work/cmake-linked/build/linked" || fail "the program linked with Zelcam::gevlink and Zelcam::ipc did not run"
  while read -r m; do [ -f "$m" ] || fail "MODULE target file $m is missing"; done <"$work/cmake-linked/build/modules.txt"
  echo "hostkit install: $(find "$prefix" -type f | wc -l) files in $prefix; examples built"
  ;;

scene)
  dir=$(scene_dir)
  if [ ! -f "$dir/calib/rect.param" ]; then
    mkdir -p "$scenes"
    rm -rf "$scenes"/plane-*  # renders of an earlier zelsim
    tmp=$dir.tmp$$
    "$build/bin/zelsim" render --scene plane --supersample 1 --noise 0 --out "$tmp" --quiet || fail "zelsim render"
    rm -rf "$tmp/truth"  # not needed here: the decodes are compared with each other
    mv "$tmp" "$dir"
  fi
  echo "hostkit scene: $dir"
  ;;

decode)
  dir=$(scene_dir)
  rm -rf "$work/decode"
  mkdir -p "$work/decode"
  "$work/examples/decode_to_ply" "$dir" "$dir/calib" "$work/decode/example.ply" || fail "decode_to_ply"
  "$work/pc/decode_to_ply" "$dir" "$dir/calib" "$work/decode/pkgconfig.ply" || fail "decode_to_ply (pkg-config)"
  "$prefix/bin/zelscan" decode --decoder phsft --calib "$dir/calib" --images "$dir" \
    --out "$work/decode/zelscan.ply" || fail "installed zelscan decode"
  head -c 200 "$work/decode/example.ply" | grep -aq "element vertex [1-9][0-9]\{4,\}" || fail "too few points"
  cmp "$work/decode/example.ply" "$work/decode/zelscan.ply" || fail "the example's PLY differs from zelscan's"
  cmp "$work/decode/example.ply" "$work/decode/pkgconfig.ply" || fail "the pkg-config build's PLY differs"
  # The installed Python package, with the decoder of the installed tree.
  pydir=$prefix/lib/python3/dist-packages
  if [ -d "$pydir/zelcam" ]; then
    env -u ZELCAM_LIB_DIR PYTHONPATH="$pydir" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c '
import sys, zelcam
with zelcam.PhaseShiftDecoder(calibration=sys.argv[1]) as dec:
    result = dec.decode(sys.argv[2])
    loaded = [l.split()[-1] for l in open("/proc/self/maps") if "libOrvDecPhsft" in l]
zelcam.write_points(sys.argv[3], result.points, result.colors)
assert loaded and all(p.startswith(sys.argv[4] + "/") for p in loaded), loaded
' "$dir/calib" "$dir" "$work/decode/python.ply" "$prefix" || fail "the installed Python package"
    cmp "$work/decode/example.ply" "$work/decode/python.ply" || fail "the Python package's PLY differs"
  fi
  echo "hostkit decode: $(head -c 200 "$work/decode/example.ply" | grep -a "element vertex"), as zelscan's"
  ;;

shot)
  dir=$(scene_dir)
  rm -rf "$work/shot"
  mkdir -p "$work/shot"
  if ! unshare -rn true 2>/dev/null; then
    echo "hostkit shot: no private network namespace on this machine: skipped"
    exit 77
  fi
  # In a private network namespace with only loopback: the head's devices,
  # the plug-in's discovery and the projector link stay inside it.
  unshare -rn bash -c '
    set -eu
    ip link set lo up
    "$1/bin/zelsim" serve --images "$2" --head cameras --tcp 127.0.0.1:5073 --no-publish >"$3/serve.log" 2>&1 &
    serve=$!
    trap "kill $serve 2>/dev/null; wait $serve 2>/dev/null || true" EXIT
    for _ in $(seq 600); do
      grep -q "^ready" "$3/serve.log" && break
      kill -0 $serve 2>/dev/null || break
      sleep 0.05
    done
    grep -q "^ready" "$3/serve.log" || { echo "zelsim serve did not come up:"; cat "$3/serve.log"; exit 1; }
    "$4/examples/shoot" libOrvCamAce.so "$3/set" 127.0.0.1
  ' shot "$prefix" "$dir" "$work/shot" "$work" || fail "the shot example"
  read -r width height < <(sed -n 2p "$dir/cam0_00.pgm")
  for c in 0 1; do
    for p in 00 01 02 03 04 05 06 07 08 09 10 11 12; do
      same_pixels "$dir/cam${c}_$p.pgm" "$work/shot/set/cam${c}_$p.pgm" $((width * height)) ||
        fail "cam${c}_$p.pgm is not the image the head served"
    done
  done
  echo "hostkit shot: 26 images of $width x $height, as served"
  ;;

deb)
  dir=$(scene_dir)
  rm -rf "$work/deb"
  mkdir -p "$work/deb"
  (cd "$work/deb" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb/out" >"$work/deb/cpack.log" 2>&1) ||
    fail "cpack: $(tail -20 "$work/deb/cpack.log")"
  debs=("$work"/deb/out/zelcam_*.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "not one zelcam_*.deb: ${debs[*]}"
  deb=${debs[0]}
  if dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -e '^\./usr/' -e '^\./$'; then fail "files outside /usr"; fi
  depends=$(dpkg-deb -f "$deb" Depends)
  [ -n "$depends" ] || fail "no Depends"
  root=$work/deb/root
  dpkg -x "$deb" "$root"

  # Every library a binary of the package links directly comes from a
  # package its Depends names (or from the package itself). One ldd per
  # binary, one dpkg -S for all the libraries.
  deps=" $(echo "$depends" | sed 's/([^)]*)//g; s/[,|]/ /g') "
  links=$work/deb/links.txt # binary, needed name, resolved path
  : >"$links"
  while IFS= read -r -d '' f; do
    file -b "$f" | grep -q '^ELF' || continue
    ldd_out=$(LD_LIBRARY_PATH=$root/usr/lib ldd "$f")
    for needed in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      # "name => path (address)", or "path (address)" for the dynamic loader
      path=$(echo "$ldd_out" | awk -v n="$needed" '$1 == n {print $3; exit} $1 ~ ("/" n "$") {print $1; exit}')
      [ -n "$path" ] && [ "$path" != "not" ] || fail "$(basename "$f"): $needed is not found"
      case "$path" in "$root"/*) continue ;; esac
      echo "$(basename "$f") $needed $(realpath "$path")" >>"$links"
    done
  done < <(find "$root/usr/bin" "$root/usr/lib" -type f -print0)
  # Debian 12 registers the libraries under /lib as well as /usr/lib.
  owners=$(awk '{print $3; sub("^/usr", "", $3); print $3}' "$links" | sort -u | xargs dpkg -S 2>/dev/null || true)
  checked=0
  while read -r binary needed path; do
    pkg=$(echo "$owners" | awk -v p="$path" -v q="${path#/usr}" '$NF == p || $NF == q {sub(":.*", "", $1); print $1; exit}')
    [ -n "$pkg" ] || fail "$binary: no package holds $path"
    case "$deps" in *" $pkg "*) ;; *) fail "$binary needs $needed of $pkg, not in Depends: $depends" ;; esac
    checked=$((checked + 1))
  done <"$links"
  [ "$checked" -gt 10 ] || fail "only $checked libraries checked"

  # zelscan from the unpacked tree, by its run path alone: no LD_LIBRARY_PATH.
  env -u LD_LIBRARY_PATH "$root/usr/bin/zelscan" decode --decoder phsft --calib "$dir/calib" --images "$dir" \
    --out "$work/deb/zelscan.ply" >"$work/deb/decode.log" 2>&1 || fail "zelscan decode from the package: $(cat "$work/deb/decode.log")"
  head -c 200 "$work/deb/zelscan.ply" | grep -aq "element vertex [1-9][0-9]\{4,\}" || fail "too few points"
  "$root/usr/bin/zelscan" --version | grep -qx "  $root/usr/lib" || fail "zelscan does not look in $root/usr/lib"

  # Install and remove with dpkg in a throwaway root of its own (its own
  # database; the system's is never touched). The maintainer scripts run
  # outside that root, so the ldconfig they call is a stand-in that only
  # notes the call: the system's library cache stays as it is.
  admin=$work/deb/dpkgroot
  mkdir -p "$admin/var/lib/dpkg/info" "$admin/var/lib/dpkg/updates" "$work/deb/stub"
  touch "$admin/var/lib/dpkg/status" "$admin/var/lib/dpkg/available"
  printf '#!/bin/sh\necho "ldconfig $*" >>"%s"\n' "$work/deb/ldconfig.calls" >"$work/deb/stub/ldconfig"
  chmod +x "$work/deb/stub/ldconfig"
  dpkg_root=(env PATH="$work/deb/stub:$PATH" dpkg --root="$admin" --force-depends --force-script-chrootless
    --force-not-root --log=/dev/null)
  "${dpkg_root[@]}" -i "$deb" >"$work/deb/dpkg.log" 2>&1 || fail "dpkg -i into a throwaway root: $(cat "$work/deb/dpkg.log")"
  [ -x "$admin/usr/bin/zelscan" ] || fail "dpkg -i installed no zelscan"
  "${dpkg_root[@]}" --purge zelcam >>"$work/deb/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$work/deb/dpkg.log")"
  [ "$(grep -c ldconfig "$work/deb/ldconfig.calls")" -eq 2 ] || fail "ldconfig not run after install and removal"
  left=$(find "$admin" -mindepth 1 -not -path "$admin/var/lib/dpkg*" -not -path "$admin/var" -not -path "$admin/var/lib")
  [ -z "$left" ] || fail "left after removal: $left"
  echo "hostkit deb: $(basename "$deb"), $checked linked libraries covered by Depends: $depends"
  ;;

*)
  fail "unknown step"
  ;;
esac
