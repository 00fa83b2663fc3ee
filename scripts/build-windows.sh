#!/usr/bin/env bash
# Cross-builds the Windows application folder: quillora-cli.exe with config.yaml and web/ beside it.
# Usage: scripts/build-windows.sh [BUILD_DIR]   (default build-windows; run as root, like
# install-deps.sh, for the cross tools and the Debian sources the libraries are built from).
#
# yaml-cpp, libxml2 and SQLite are cross-built from Debian's sources, GoogleTest from
# /usr/src/googletest, all static, into BUILD_DIR/deps; so are zlib, ZenLib and MediaInfoLib, linked
# into deps/bin/MediaInfo.dll, which the project's build copies beside the programs. Each library
# has a stamp there, so a second run rebuilds nothing. Everything is linked statically: neither the
# programs nor MediaInfo.dll need any other DLL than Windows' own.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${1:-build-windows}
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
# QUILLORA_WINDOWS_DEPS may name a folder outside the build folder, so that the libraries outlive
# it (a cache kept between test runs on one machine).
DEPS=${QUILLORA_WINDOWS_DEPS:-$BUILD_DIR/deps}
mkdir -p "$DEPS"
DEPS=$(cd "$DEPS" && pwd)
SRC=$DEPS/src
TOOLCHAIN=$ROOT/cmake/mingw-w64.cmake
HOST=x86_64-w64-mingw32
JOBS=$(nproc)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

step_start=0
step() {
  step_start=$(date +%s)
  echo "== $*"
}
step_done() { echo "== $1: $(($(date +%s) - step_start)) s"; }

# The library builds must never pick up the build machine's compiler flags or pkg-config files.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS PKG_CONFIG_PATH
export PKG_CONFIG_LIBDIR=$DEPS/lib/pkgconfig

install_tools() {
  local wanted=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64
    dpkg-dev cmake make pkg-config tcl googletest libboost1.81-dev nlohmann-json3-dev
    libmediainfo-dev file zip unzip nsis locales jq)
  local missing=()
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "cross tools: up to date"
    return
  fi
  step "installing ${missing[*]}"
  $SUDO apt-get update
  # With the recommended packages: Wine is tested here as Debian installs it by default.
  $SUDO apt-get install -y -o DPkg::Lock::Timeout=600 "${missing[@]}"
  step_done "cross tools"
}

# apt-get source needs a deb-src entry; the machine's own entries are copied with the type changed.
ensure_deb_src() {
  if grep -rqsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
    /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  local debian=/etc/apt/sources.list.d/debian.sources
  if [ -f "$debian" ]; then
    sed -E 's/^Types:.*/Types: deb-src/' "$debian" |
      $SUDO tee /etc/apt/sources.list.d/quillora-deb-src.sources >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list |
      $SUDO tee /etc/apt/sources.list.d/quillora-deb-src.list >/dev/null
  else
    echo "no apt sources to derive a deb-src entry from" >&2
    exit 1
  fi
  $SUDO apt-get update
}

# Unpacks Debian's source of package $1 (with Debian's patches) under $SRC; prints its folder.
debian_source() {
  local pkg=$1 dir
  dir=$(find "$SRC" -maxdepth 1 -type d -name "$pkg-[0-9]*" 2>/dev/null | sort | tail -n 1)
  if [ -z "$dir" ]; then
    ensure_deb_src >&2
    mkdir -p "$SRC"
    (cd "$SRC" && apt-get source -q "$pkg" >&2) || debian_source_fallback "$pkg" >&2
    dir=$(find "$SRC" -maxdepth 1 -type d -name "$pkg-[0-9]*" | sort | tail -n 1)
  fi
  [ -n "$dir" ] || {
    echo "apt-get source $pkg gave no source folder" >&2
    exit 1
  }
  echo "$dir"
}

# The archive does not serve every file it lists: the security archive gives no sources, and
# some packages lack their Debian tarball. The other versions the archive lists are tried, newest
# first, and then the upstream tarball alone, unpacked without Debian's patches.
debian_source_fallback() {
  local pkg=$1 version tarball
  for version in $(apt-cache showsrc "$pkg" | sed -n 's/^Version: //p' | sort -u -r -V); do
    (cd "$SRC" && apt-get source -q "$pkg=$version") && return
  done
  echo "apt-get source $pkg failed: taking its upstream tarball without Debian's patches"
  (cd "$SRC" && apt-get source -q --tar-only "$pkg") || exit 1
  tarball=$(find "$SRC" -maxdepth 1 -name "${pkg}_*.orig.tar.*" | sort -V | tail -n 1)
  [ -n "$tarball" ] || exit 1
  version=${tarball##*/"${pkg}"_}
  version=${version%.orig.tar.*}
  mkdir -p "$SRC/$pkg-$version"
  tar -xf "$tarball" -C "$SRC/$pkg-$version" --strip-components=1 || exit 1
}

# A library is rebuilt only when its stamp is missing or the recipe's inputs changed.
stamp_ok() { [ -f "$DEPS/stamps/$1" ] && [ "$(cat "$DEPS/stamps/$1")" = "$2" ]; }
rebuilt=0
stamp_set() {
  rebuilt=1
  mkdir -p "$DEPS/stamps"
  echo "$2" >"$DEPS/stamps/$1"
}
# The key covers the library's own recipe (its function here) and the toolchain file.
recipe_key() { { declare -f "$1" cmake_lib; cat "$TOOLCHAIN"; } | sha256sum | cut -c1-16; }

cmake_lib() {
  local src=$1 build=$2
  shift 2
  rm -rf "$build"
  mkdir -p "$build"
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DQUILLORA_WINDOWS_DEPS="$DEPS" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$DEPS" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_INSTALL_LIBDIR=lib "$@" >"$build.log" 2>&1 || {
    tail -n 40 "$build.log" >&2
    exit 1
  }
  cmake --build "$build" -j"$JOBS" >>"$build.log" 2>&1 &&
    cmake --install "$build" >>"$build.log" 2>&1 || {
    tail -n 40 "$build.log" >&2
    exit 1
  }
}

# Only links, so the cross compiler sees the header-only libraries but never /usr/include itself
# (it would take glibc's headers).
make_sysinclude() {
  mkdir -p "$DEPS/sysinclude"
  local d
  for d in boost nlohmann MediaInfoDLL; do
    [ -e "/usr/include/$d" ] && ln -sfn "/usr/include/$d" "$DEPS/sysinclude/$d"
  done
  # Package files that point find_package at the links instead of at /usr.
  mkdir -p "$DEPS/lib/cmake"
  cp -r "$ROOT/cmake/windows-deps/." "$DEPS/lib/cmake/"
}

build_yaml_cpp() {
  local key dir
  dir=$(debian_source yaml-cpp)
  key="$(basename "$dir") $(recipe_key build_yaml_cpp)"
  if stamp_ok yaml-cpp "$key"; then
    echo "yaml-cpp: up to date"
    return
  fi
  step "yaml-cpp from $(basename "$dir")"
  cmake_lib "$dir" "$DEPS/build/yaml-cpp" -DYAML_CPP_BUILD_TESTS=OFF -DYAML_CPP_BUILD_TOOLS=OFF \
    -DYAML_CPP_BUILD_CONTRIB=OFF -DYAML_BUILD_SHARED_LIBS=OFF
  stamp_set yaml-cpp "$key"
  step_done yaml-cpp
}

build_libxml2() {
  local key dir
  dir=$(debian_source libxml2)
  key="$(basename "$dir") $(recipe_key build_libxml2)"
  if stamp_ok libxml2 "$key"; then
    echo "libxml2: up to date"
    return
  fi
  step "libxml2 from $(basename "$dir")"
  # The parser and tree only: Windows has its own encoding support (no iconv), and nothing here
  # reads compressed XML or fetches it over HTTP or FTP.
  cmake_lib "$dir" "$DEPS/build/libxml2" -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_LZMA=OFF \
    -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF \
    -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF -DLIBXML2_WITH_PROGRAMS=OFF \
    -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_MODULES=OFF
  rm -rf "$DEPS/share/doc/libxml2" "$DEPS/share/man" "$DEPS/bin/xml2-config" "$DEPS/lib/xml2Conf.sh"
  # Only the static library is installed here; without LIBXML_STATIC its headers declare every
  # function dllimport and linking fails, so the headers say it themselves.
  local exports=$DEPS/include/libxml2/libxml/xmlexports.h
  if ! grep -q 'define LIBXML_STATIC' "$exports"; then
    printf '%s\n' '/* Only the static library is installed with these headers. */' \
      '#ifndef LIBXML_STATIC' '#define LIBXML_STATIC' '#endif' | cat - "$exports" >"$exports.new"
    mv "$exports.new" "$exports"
  fi
  stamp_set libxml2 "$key"
  step_done libxml2
}

build_sqlite() {
  local key dir
  dir=$(debian_source sqlite3)
  key="$(basename "$dir") $(recipe_key build_sqlite)"
  if stamp_ok sqlite3 "$key"; then
    echo "sqlite3: up to date"
    return
  fi
  step "sqlite3 from $(basename "$dir")"
  local build=$DEPS/build/sqlite3
  rm -rf "$build"
  mkdir -p "$build"
  # The amalgamation is generated by the build machine's tools (tclsh, lemon), then compiled once
  # with the cross compiler.
  if [ ! -f "$dir/sqlite3.c" ]; then
    (cd "$build" && "$dir/configure" --disable-tcl >"$build/amalgamation.log" 2>&1 &&
      make -j"$JOBS" sqlite3.c >>"$build/amalgamation.log" 2>&1) || {
      tail -n 40 "$build/amalgamation.log" >&2
      exit 1
    }
    local amalgamation=$build
  else
    local amalgamation=$dir
  fi
  local cc=("$HOST-gcc-posix")
  [ -n "${CMAKE_C_COMPILER_LAUNCHER:-}" ] && cc=("$CMAKE_C_COMPILER_LAUNCHER" "${cc[@]}")
  "${cc[@]}" -O2 -DNDEBUG -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION \
    -c "$amalgamation/sqlite3.c" -o "$build/sqlite3.o"
  rm -f "$build/libsqlite3.a"
  "$HOST-ar" rcs "$build/libsqlite3.a" "$build/sqlite3.o"
  install -D -m 0644 "$build/libsqlite3.a" "$DEPS/lib/libsqlite3.a"
  install -D -m 0644 "$amalgamation/sqlite3.h" "$DEPS/include/sqlite3.h"
  install -D -m 0644 "$amalgamation/sqlite3ext.h" "$DEPS/include/sqlite3ext.h"
  stamp_set sqlite3 "$key"
  step_done sqlite3
}

build_googletest() {
  local key src=/usr/src/googletest
  key="googletest-$(dpkg-query -W -f='${Version}' googletest) $(recipe_key build_googletest)"
  if stamp_ok googletest "$key"; then
    echo "googletest: up to date"
    return
  fi
  step "googletest from $src"
  cmake_lib "$src" "$DEPS/build/googletest" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    -Dgtest_disable_pthreads=OFF -Dgtest_build_samples=OFF -Dgtest_build_tests=OFF \
    -Dgmock_build_tests=OFF
  stamp_set googletest "$key"
  step_done googletest
}

# zlib, ZenLib and MediaInfoLib only go into MediaInfo.dll, which the programs load at run time
# from their own folder.
build_zlib() {
  local key dir
  dir=$(debian_source zlib)
  key="$(basename "$dir") $(recipe_key build_zlib)"
  if stamp_ok zlib "$key"; then
    echo "zlib: up to date"
    return
  fi
  step "zlib from $(basename "$dir")"
  local build=$DEPS/build/zlib
  rm -rf "$build"
  mkdir -p "$build"
  # The library's own sources and nothing else: Debian's source has no Windows makefile, and
  # zlib's CMake project builds a DLL too and rewrites zconf.h in the source folder.
  local cc=("$HOST-gcc-posix")
  [ -n "${CMAKE_C_COMPILER_LAUNCHER:-}" ] && cc=("$CMAKE_C_COMPILER_LAUNCHER" "${cc[@]}")
  local name objects=()
  for name in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate \
    inftrees trees uncompr zutil; do
    "${cc[@]}" -O2 -DNDEBUG -c "$dir/$name.c" -o "$build/$name.o"
    objects+=("$build/$name.o")
  done
  "$HOST-ar" rcs "$build/libz.a" "${objects[@]}"
  install -D -m 0644 "$build/libz.a" "$DEPS/lib/libz.a"
  install -D -m 0644 "$dir/zlib.h" "$DEPS/include/zlib.h"
  install -D -m 0644 "$dir/zconf.h" "$DEPS/include/zconf.h"
  stamp_set zlib "$key"
  step_done zlib
}

build_zenlib() {
  local key dir
  dir=$(debian_source libzen)
  key="$(basename "$dir") $(recipe_key build_zenlib)"
  if stamp_ok libzen "$key"; then
    echo "libzen: up to date"
    return
  fi
  step "ZenLib from $(basename "$dir")"
  # Wide strings: MediaInfo's C interface exists only in its Unicode build.
  cmake_lib "$dir/Project/CMake" "$DEPS/build/libzen" -DENABLE_UNICODE=ON -DLARGE_FILES=ON
  stamp_set libzen "$key"
  step_done ZenLib
}

# MediaInfoLib, static, without curl and libmms (only local files are read) and with its bundled
# tinyxml2. The longest build here: its DLL is linked in a step of its own, so that a change there
# does not compile it again.
build_mediainfo() {
  local key dir
  dir=$(debian_source libmediainfo)
  key="$(basename "$dir") $(recipe_key build_mediainfo) $(cat "$DEPS/stamps/libzen" "$DEPS/stamps/zlib")"
  if stamp_ok libmediainfo "$key"; then
    echo "libmediainfo: up to date"
    return
  fi
  step "MediaInfoLib from $(basename "$dir")"
  cmake_lib "$dir/Project/CMake" "$DEPS/build/libmediainfo" -DBUILD_ZENLIB=OFF -DBUILD_ZLIB=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_CURL=ON -DCMAKE_DISABLE_FIND_PACKAGE_TinyXML=ON
  stamp_set libmediainfo "$key"
  step_done MediaInfoLib
}

# MediaInfo.dll with the C interface that MediaInfoLib's .def file exports (MediaInfo_*,
# MediaInfoA_*, MediaInfoList_*), linked with ZenLib, zlib and the compiler's runtime so that it
# needs no DLL but Windows' own.
build_mediainfo_dll() {
  local key dir
  dir=$(debian_source libmediainfo)
  key="$(recipe_key build_mediainfo_dll) $(cat "$DEPS/stamps/libmediainfo")"
  if stamp_ok MediaInfo.dll "$key" && [ -f "$DEPS/bin/MediaInfo.dll" ]; then
    echo "MediaInfo.dll: up to date"
    return
  fi
  step "MediaInfo.dll"
  local build=$DEPS/build/MediaInfo.dll
  rm -rf "$build"
  mkdir -p "$build"
  # GNU ld reads the file's zero-padded ordinals (@08, @09) as octal; the numbers are kept.
  sed -E 's/@0+([1-9])/@\1/' "$dir/Source/MediaInfoDLL/MediaInfoDLL.def" >"$build/MediaInfo.def"
  # Every object of the library, as its own DLL build would have; the .def file picks the exports.
  "$HOST-g++-posix" -shared -s -o "$build/MediaInfo.dll" "$build/MediaInfo.def" \
    -Wl,--whole-archive "$DEPS/lib/libmediainfo.a" -Wl,--no-whole-archive "$DEPS/lib/libzen.a" \
    "$DEPS/lib/libz.a" -static -static-libgcc -static-libstdc++ >"$build.log" 2>&1 || {
    tail -n 40 "$build.log" >&2
    exit 1
  }
  check_windows_imports "$build/MediaInfo.dll"
  install -D -m 0755 "$build/MediaInfo.dll" "$DEPS/bin/MediaInfo.dll"
  stamp_set MediaInfo.dll "$key"
  step_done MediaInfo.dll
}

# Fails when a DLL imports anything but Windows' own DLLs (a MinGW runtime DLL slipped in).
check_windows_imports() {
  local imports others
  imports=$("$HOST-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p')
  others=$(grep -viE '^(kernel32|user32|advapi32|shell32|ole32|oleaut32|ws2_32|msvcrt|api-ms-win-.*)\.dll$' \
    <<<"$imports" || true)
  if [ -n "$others" ]; then
    echo "$1 needs DLLs that Windows lacks: $others" >&2
    exit 1
  fi
}

# The WebView2 SDK (headers and WebView2Loader.dll) for the desktop program, from NuGet through the
# .NET SDK's own client. Sets WEBVIEW2_SDK to its build/native folder, or leaves it empty when the
# machine has no dotnet, and the desktop program is then skipped.
WEBVIEW2_SDK=""
restore_webview2_sdk() {
  if ! command -v dotnet >/dev/null; then
    echo "== quillora.exe (the desktop program) skipped: no dotnet to restore the WebView2 SDK with"
    return
  fi
  local project=$ROOT/cmake/webview2/webview2-sdk.csproj dir=$DEPS/webview2 version
  version=$(sed -nE 's/.*"Microsoft.Web.WebView2" Version="([^"]+)".*/\1/p' "$project")
  WEBVIEW2_SDK=$dir/packages/microsoft.web.webview2/$version/build/native
  if [ -f "$WEBVIEW2_SDK/include/WebView2.h" ]; then
    echo "WebView2 SDK $version: up to date"
    return
  fi
  step "WebView2 SDK $version"
  mkdir -p "$dir"
  cp "$project" "$dir/"
  DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1 \
    dotnet restore "$dir/webview2-sdk.csproj" --packages "$dir/packages" \
    -p:TargetFramework="net$(dotnet --version | cut -d. -f1-2)" >"$dir/restore.log" 2>&1 || {
    tail -n 20 "$dir/restore.log" >&2
    exit 1
  }
  step_done "WebView2 SDK"
}

build_deps() {
  make_sysinclude
  restore_webview2_sdk
  build_yaml_cpp
  build_libxml2
  build_sqlite
  build_googletest
  build_zlib
  build_zenlib
  build_mediainfo
  build_mediainfo_dll
  # Freshly built libraries are checked on their own, under Wine, before the project uses them.
  if [ "$rebuilt" = 1 ]; then
    step "smoke test of the libraries"
    bash "$ROOT/tests/windows/smoke.sh" "$BUILD_DIR" "$DEPS"
    step_done "smoke test"
  fi
}

# The project itself; cmake and make decide what is out of date.
build_project() {
  local launcher=()
  [ -n "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] &&
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER="$CMAKE_CXX_COMPILER_LAUNCHER")
  step "quillora for Windows"
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DQUILLORA_WINDOWS_DEPS="$DEPS" -DQUILLORA_WEBVIEW2_SDK="$WEBVIEW2_SDK" \
    -DCMAKE_BUILD_TYPE=Release "${launcher[@]}"
  cmake --build "$BUILD_DIR" -j"$JOBS"
  step_done "quillora for Windows"
}

total_start=$(date +%s)
install_tools
build_deps
if [ "${QUILLORA_WINDOWS_DEPS_ONLY:-}" != 1 ]; then
  build_project
  # The zip and the per-user installer, into BUILD_DIR/dist.
  ! command -v makensis >/dev/null || bash "$ROOT/scripts/windows/package.sh" "$BUILD_DIR"
fi
echo "== done in $(($(date +%s) - total_start)) s: $BUILD_DIR"
