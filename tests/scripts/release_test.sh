#!/bin/sh
# Packs a release from a stand-in 32-bit DLL and checks what a user gets:
# the four files, checksums that verify, a Shift_JIS readme with CR LF line
# ends carrying the project's version; and that a non-Windows file is refused.
# Usage: release_test.sh SOURCE_DIR
set -eu
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

python3 - "$work/standin.dll" <<'PY'
import struct, sys
pe, image = 0x40, bytearray(0x200)
image[0:2] = b'MZ'
struct.pack_into('<I', image, 0x3C, pe)
image[pe:pe + 4] = b'PE\0\0'
struct.pack_into('<HxxxxxxxxxxxxxxHHH', image, pe + 4, 0x14C, 0xE0, 0x2102, 0x10B)
open(sys.argv[1], 'wb').write(image)
PY
version=$(sed -n 's/^project(Quillbridge VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")

QB_RELEASE_DLL="$work/standin.dll" QB_RELEASE_DIST="$work/dist" "$source_dir/scripts/release" >/dev/null
zip_file="$work/dist/Quillbridge-$version.zip"
[ -f "$zip_file" ] || fail "no $zip_file"

python3 - "$zip_file" "$work/standin.dll" "$version" <<'PY' || exit 1
import hashlib, sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
names = sorted(archive.namelist())
if names != ['LICENSE', 'Quillbridge.dll', 'SHA256SUMS', 'readme.txt']:
    sys.exit('FAIL: unexpected contents %s' % names)
if archive.read('Quillbridge.dll') != open(sys.argv[2], 'rb').read():
    sys.exit('FAIL: the DLL was changed on the way')
for line in archive.read('SHA256SUMS').decode().splitlines():
    digest, name = line.split('  ')
    if hashlib.sha256(archive.read(name)).hexdigest() != digest:
        sys.exit('FAIL: checksum of %s does not match' % name)
readme = archive.read('readme.txt')
if readme.count(b'\r\n') != readme.count(b'\n') or readme.count(b'\n') < 20:
    sys.exit('FAIL: readme.txt lines do not all end in CR LF')
text = readme.decode('cp932')
for wanted in ('Quillbridge ' + sys.argv[3], 'descript.txt', 'English', 'MIT'):
    if wanted not in text:
        sys.exit('FAIL: readme.txt does not mention %r' % wanted)
if '@VERSION@' in text:
    sys.exit('FAIL: readme.txt still holds a placeholder')
PY

printf 'not a dll' >"$work/text.dll"
if QB_RELEASE_DLL="$work/text.dll" QB_RELEASE_DIST="$work/dist2" "$source_dir/scripts/release" 2>/dev/null; then
  fail "a file that is no 32-bit DLL was packed"
fi
echo "release package: contents, checksums and readme encoding are right"
