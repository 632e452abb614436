#!/usr/bin/env bash
# Builds Qt 5.15 (qtbase only, static, release) for 64-bit Windows from
# Debian's own source package, with MinGW-w64's posix thread model, and caches
# it outside the clone. Prints the install prefix on its last line.
# The first run on a 2-core machine takes about a quarter of an hour; later
# runs find the cache and return at once.
set -euo pipefail

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

# The options are part of the cache key: change one and a new Qt is built.
qt_options=(-xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -release -static -opensource -confirm-license
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu
    -qt-pcre -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql
    # Debian's source leaves out src/3rdparty/wintab; tablets are not needed.
    -no-feature-tabletevent)

cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/rudireze

ensure_source_entry() {
    if apt-cache showsrc qtbase-opensource-src 2>/dev/null | grep -q '^Version:'; then
        return
    fi
    "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/rudireze-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    "${sudo_cmd[@]}" apt-get update -q >&2
}

ensure_source_entry
qt_version=$(apt-cache showsrc qtbase-opensource-src | sed -n 's/^Version: //p' | sort -V | tail -n1)
key=$(printf '%s\n' "$qt_version" "${qt_options[@]}" | sha256sum | cut -c1-12)
prefix=$cache_root/qt-${qt_version%%+*}-win64-$key

if [[ -f $prefix/.complete ]]; then
    echo "$prefix"
    exit 0
fi

echo "Building Qt $qt_version for Windows into $prefix (once per machine)" >&2
start=$(date +%s)
work=$cache_root/qt-build-$key
rm -rf "$work" "$prefix"
mkdir -p "$work/bin"

# qmake calls the unsuffixed MinGW compilers; make sure they are the posix ones
# whatever the system's alternatives say.
for tool in gcc g++; do
    ln -s "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH=$work/bin:$PATH

# Debian's patches are applied: they carry the security fixes since 5.15.8.
(cd "$work" && apt-get source -q --download-only "qtbase-opensource-src=$qt_version" >&2 \
    && dpkg-source -x ./*.dsc src >&2)

mkdir -p "$work/build"
cd "$work/build"
../src/configure -prefix "$prefix" "${qt_options[@]}" >&2
make -j"$(nproc)" >&2
make install >&2
# The licence texts a program linked with this Qt must carry: Qt's own, and
# Debian's copyright file, which names the bundled third-party code too.
mkdir -p "$prefix/licenses"
cp ../src/LICENSE.LGPL3 ../src/LICENSE.GPL2 ../src/LICENSE.GPL3 ../src/LICENSE.GPL3-EXCEPT \
    "$prefix/licenses/"
cp ../src/debian/copyright "$prefix/licenses/COPYRIGHT-DEBIAN"
touch "$prefix/.complete"
cd /
rm -rf "$work"
echo "Qt for Windows built in $(( $(date +%s) - start )) s" >&2
echo "$prefix"
