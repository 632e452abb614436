#!/usr/bin/env bash
# make-packages.sh BUILD_DIR QT_PREFIX: packs what build-windows.sh built
# into BUILD_DIR/package/: the portable rudireze-VERSION-win64.zip and the
# installer rudireze-VERSION-setup.exe (NSIS).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
qt=$2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
qt_version=$("$qt/bin/qmake" -query QT_VERSION)
name=rudireze-$version-win64
out=$build/package
stage=$out/$name
rm -rf "$out"
mkdir -p "$stage/licenses/Qt"

for program in rudireze rudireze-cli; do
    x86_64-w64-mingw32-strip -o "$stage/$program.exe" "$build/bin/$program.exe"
done
cp "$here/rudireze.ico" "$stage/"
# Windows' own editors want CRLF line ends.
sed 's/$/\r/' "$top/LICENSE" >"$stage/LICENSE.txt"
sed -e "s/@VERSION@/$version/" -e "s/@QT_VERSION@/$qt_version/" -e 's/$/\r/' \
    "$here/README.txt.in" >"$stage/README.txt"
for file in "$qt"/licenses/*; do
    sed 's/$/\r/' "$file" >"$stage/licenses/Qt/$(basename "$file").txt"
done

(cd "$out" && zip -q -r -X "$name.zip" "$name")
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" \
    -DOUTFILE="$out/rudireze-$version-setup.exe" "$here/rudireze.nsi"
ls -l "$out/$name.zip" "$out/rudireze-$version-setup.exe"
