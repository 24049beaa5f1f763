#!/bin/bash
# Inspects a built Quillbridge.dll with the mingw binutils: the machine type,
# exactly the three undecorated exports, imports only from DLLs that every
# Windows has, cdecl returns in every export (a `ret N` would be stdcall and
# unbalance the host's stack), no test hooks or host tool code, and the
# version resource.
#   check_windows_dll.sh DLL i386|x86-64
set -euo pipefail
dll=$1
arch=${2:-i386}
case "$arch" in
  i386)   triple=i686-w64-mingw32;   format=pei-i386;   machine='i386';        prefix=_ ;;
  x86-64) triple=x86_64-w64-mingw32; format=pei-x86-64; machine='i386:x86-64'; prefix= ;;
  *) echo "usage: $0 DLL i386|x86-64" >&2; exit 2 ;;
esac
objdump=$triple-objdump
status=0
fail() { echo "check_windows_dll: $dll: $*" >&2; status=1; }

[ -f "$dll" ] || { echo "check_windows_dll: $dll does not exist" >&2; exit 1; }
file_header=$($objdump -f "$dll")
private=$($objdump -p "$dll")

grep -q "file format $format\$" <<<"$file_header" || fail "not $format"
grep -q "^architecture: $machine," <<<"$file_header" || fail "machine is not $machine"
grep -qx $'\tDLL' <<<"$private" || fail "not marked as a DLL"

# Export names appear as "[   i] name" lines; the "[   i] +base[...]" lines
# beside them give the addresses, in the same order.
mapfile -t export_names < <(awk '/^\t\[ *[0-9]+\] [A-Za-z_][^ ]*$/ { print $NF }' <<<"$private")
mapfile -t export_rvas < <(sed -n 's/^\t\[ *[0-9]*\] +base\[ *[0-9]*\] \([0-9a-f]*\) Export RVA$/\1/p' <<<"$private")
sorted=$(printf '%s\n' "${export_names[@]}" | sort | tr '\n' ' ')
[ "$sorted" = "load request unload " ] || fail "exports are '${sorted% }', want exactly load request unload"

allowed='^(KERNEL32|USER32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'
while read -r imported; do
  grep -Eqi "$allowed" <<<"$imported" || fail "imports $imported, which not every Windows has"
done < <(sed -n 's/^\tDLL Name: //p' <<<"$private")

image_base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$private")
disassembly=$($objdump -d --no-show-raw-insn "$dll")
for i in "${!export_names[@]}"; do
  name=${export_names[$i]}
  address=$(printf '%08x' $((0x$image_base + 0x${export_rvas[$i]})))
  # The function at the export's address, by its symbol; it must be the
  # undecorated one of that name (stdcall would be _name@N on i386).
  symbol=$(sed -n "s/^0*$address <\(.*\)>:\$/\1/p" <<<"$disassembly" | head -n 1)
  [ "$symbol" = "$prefix$name" ] || fail "export $name points at '${symbol:-nothing}', not $prefix$name"
  # Its body, and the cold part split off it, return with a plain ret only.
  body=$(awk -v s="$symbol" '/^[0-9a-f]+ <.*>:$/ { inside = ($2 == "<" s ">:" || $2 == "<" s ".cold>:") }
                             inside' <<<"$disassembly")
  grep -Eq $'\tret[lq]? *$' <<<"$body" || fail "export $name has no plain ret"
  if grep -Eq $'\tret[lq]? +\\$' <<<"$body"; then
    fail "export $name returns with 'ret N' (stdcall); it must be cdecl"
  fi
done

# Test hooks and the host tool's own system calls are never linked in.
if $triple-nm -C "$dll" 2>/dev/null | grep -Eq 'fault_injection|use_lead_byte_rule|start_child|exported_names'; then
  fail "holds test hooks or host tool code"
fi

strings_tool=$triple-strings
$strings_tool -el "$dll" | grep -qx 'Quillbridge' || fail "no product name in the version resource"
$strings_tool -el "$dll" | grep -qx 'ProductVersion' || fail "no product version in the version resource"

if [ "$status" = 0 ]; then
  imports=$(sed -n 's/^\tDLL Name: //p' <<<"$private" | tr '\n' ' ')
  echo "check_windows_dll: $dll: $format, exports ${sorted% }, imports ${imports% }, cdecl returns: ok"
fi
exit "$status"
