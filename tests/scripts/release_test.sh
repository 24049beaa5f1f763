#!/bin/sh
# Checks the release package as a user gets it.
#   release_test.sh SOURCE_DIR          packs stand-in binaries: the layout under
#                                       one top folder, checksums that verify,
#                                       the readme's encoding, line ends and
#                                       sections; and that a non-Windows file
#                                       is refused. Needs no Windows toolchain.
#   release_test.sh SOURCE_DIR --build [KEEP]
#                                       runs the real release twice, in two
#                                       build folders: the zips must be the
#                                       same bytes, the binaries free of debug
#                                       sections, the layout as above. The zip
#                                       is copied to KEEP when given.
set -eu
source_dir=$1
mode=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

version=$(sed -n 's/^project(Quillbridge VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
zip_name=Quillbridge-$version.zip

# check_package ZIP [BUILD_FOLDER]: the layout, and with a build folder that
# the binaries are the built ones, unchanged.
check_package() {
  python3 - "$1" "$version" "${2:-}" <<'PY' || exit 1
import hashlib, os, sys, zipfile
zip_path, version, built = sys.argv[1:]
top = 'Quillbridge-%s/' % version
archive = zipfile.ZipFile(zip_path)
names = archive.namelist()
want = ['Quillbridge.dll', 'quillbridge-host.exe', 'readme.txt', 'LICENSE.txt',
        'sample/descript.txt', 'sample/phrasebook.dll', 'sample/phrases.txt', 'SHA256SUMS']
if names != [top + name for name in want]:
    sys.exit('FAIL: unexpected contents %s' % names)
read = lambda name: archive.read(top + name)
if built:
    for name, source in (('Quillbridge.dll', 'Quillbridge.dll'),
                         ('quillbridge-host.exe', 'quillbridge-host.exe'),
                         ('sample/phrasebook.dll', 'demo/phrasebook.dll')):
        if read(name) != open(os.path.join(built, source), 'rb').read():
            sys.exit('FAIL: %s was changed on the way' % name)
summed = []
for line in read('SHA256SUMS').decode().splitlines():
    digest, name = line.split('  ')
    summed.append(name)
    if hashlib.sha256(read(name)).hexdigest() != digest:
        sys.exit('FAIL: checksum of %s does not match' % name)
if sorted(summed) != sorted(want[:-1]):
    sys.exit('FAIL: SHA256SUMS covers %s' % summed)
for name in ('readme.txt', 'LICENSE.txt', 'sample/descript.txt', 'sample/phrases.txt'):
    text = read(name)
    if text.count(b'\r\n') != text.count(b'\n') or text.count(b'\r') != text.count(b'\n'):
        sys.exit('FAIL: %s lines do not all end in CR LF' % name)
if b'shiori,phrasebook.dll\r\n' not in read('sample/descript.txt'):
    sys.exit('FAIL: the sample settings do not name phrasebook.dll')
readme = read('readme.txt').decode('cp932')
for wanted in ('Quillbridge ' + version, '概要', '動作環境', 'Windows Vista', '導入', '設定',
               '使い方', 'quillbridge-host.exe Quillbridge.dll sample\\ greet World',
               'メッセージと対処', '診断', '--check', '制限', '更新履歴', 'ライセンス・再配布',
               'LICENSE.txt'):
    if wanted not in readme:
        sys.exit('FAIL: readme.txt does not mention %r' % wanted)
if '@VERSION@' in readme:
    sys.exit('FAIL: readme.txt still holds a placeholder')
PY
}

if [ "$mode" = --build ]; then
  for run in 1 2; do
    QB_RELEASE_BUILD="$work/build$run" QB_RELEASE_DIST="$work/dist$run" \
      "$source_dir/scripts/release" >/dev/null 2>"$work/release$run.log" ||
      { cat "$work/release$run.log"; fail "release run $run failed"; }
  done
  check_package "$work/dist1/$zip_name" "$work/build1"
  cmp "$work/dist1/$zip_name" "$work/dist2/$zip_name" ||
    fail "two releases from the same sources differ (in $(cd "$work" &&
      for f in Quillbridge.dll quillbridge-host.exe demo/phrasebook.dll; do
        cmp -s build1/$f build2/$f || printf '%s ' "$f"; done))"
  for file in Quillbridge.dll quillbridge-host.exe demo/phrasebook.dll; do
    sections=$(i686-w64-mingw32-objdump -h "$work/build1/$file" | awk '$2 ~ /^\.debug/ { print $2 }')
    [ -z "$sections" ] || fail "$file carries debug sections: $(echo $sections)"
  done
  [ -z "${3:-}" ] || cp "$work/dist1/$zip_name" "$3"
  echo "release: two builds gave the same zip; layout right; no debug sections"
  exit 0
fi

# Stand-ins for the three binaries: the smallest 32-bit PE headers, with the
# DLL flag where a DLL is expected.
mkdir -p "$work/built/demo"
python3 - "$work/built" <<'PY'
import os, struct, sys
def standin(path, characteristics):
    pe, image = 0x40, bytearray(0x200)
    image[0:2] = b'MZ'
    struct.pack_into('<I', image, 0x3C, pe)
    image[pe:pe + 4] = b'PE\0\0'
    struct.pack_into('<HxxxxxxxxxxxxxxHHH', image, pe + 4, 0x14C, 0xE0, characteristics, 0x10B)
    image[0x100:0x100 + len(path)] = path.encode()  # so that the three differ
    open(os.path.join(sys.argv[1], path), 'wb').write(image)
standin('Quillbridge.dll', 0x2102)
standin('demo/phrasebook.dll', 0x2102)
standin('quillbridge-host.exe', 0x0102)
PY
printf 'charset,Shift_JIS\nshiori,phrasebook.dll\n' >"$work/built/demo/descript.txt"
cp "$source_dir/examples/sample/phrases.txt" "$work/built/demo/phrases.txt"

QB_RELEASE_FROM="$work/built" QB_RELEASE_DIST="$work/dist" "$source_dir/scripts/release" >/dev/null
[ -f "$work/dist/$zip_name" ] || fail "no $zip_name"
check_package "$work/dist/$zip_name" "$work/built"

printf 'not a dll' >"$work/built/Quillbridge.dll"
if QB_RELEASE_FROM="$work/built" QB_RELEASE_DIST="$work/dist2" "$source_dir/scripts/release" 2>/dev/null; then
  fail "a file that is no 32-bit DLL was packed"
fi
echo "release package: layout, checksums, line ends and readme are right"
