# Lets the 32-bit Wine start, for install-deps-windows (sourced, not run).
#
# binfmt_misc is asked before the kernel's own ELF loader, so an entry for
# i386 ELF files puts every 32-bit program on the machine under qemu until
# reboot. qemu is therefore registered only where the 32-bit Wine does not
# start without it (a kernel built without 32-bit support), and never over
# an entry that something else registered.
#
# QB_BINFMT_DIR is for the script tests only.

binfmt_dir=${QB_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
binfmt_refusal=""

# wine_starts LOADER: the 32-bit Wine loader starts and tells its version.
wine_starts() { timeout 60 "$1" --version 2>/dev/null | grep -q '^wine-'; }

# Prints the binfmt_misc entries that take i386 ELF files: qemu-i386 by the
# name everyone gives it, and any other whose magic is the i386 ELF header's
# start (32-bit, little-endian) and machine (3).
i386_binfmt_entries() {
  local entry
  for entry in "$binfmt_dir"/*; do
    [ -f "$entry" ] || continue
    case ${entry##*/} in register | status) continue ;; esac
    if [ "${entry##*/}" = qemu-i386 ] || awk '$1 == "magic" && substr($2, 1, 12) == "7f454c460101" \
         && substr($2, 37, 4) == "0300" { found = 1 } END { exit !found }' "$entry"; then
      echo "${entry##*/}"
    fi
  done
}

# set_up_i386_binfmt LOADER QEMU: makes the 32-bit Wine loader LOADER start,
# through the emulator QEMU where it does not start as it is. Returns 1 and
# says why in binfmt_refusal when it cannot.
set_up_i386_binfmt() {
  local loader=$1 qemu=$2 taken
  if wine_starts "$loader"; then
    echo "${apt_caller:-binfmt}: $loader starts as it is; no qemu entry needed in binfmt_misc" >&2
    return 0
  fi
  if [ ! -e "$binfmt_dir/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt_dir" \
      || { binfmt_refusal="cannot mount binfmt_misc on $binfmt_dir"; return 1; }
  fi
  taken=$(i386_binfmt_entries)
  if [ -n "$taken" ]; then
    binfmt_refusal="$loader does not start, and binfmt_misc already hands i386 programs to"
    binfmt_refusal+=" ${taken//$'\n'/, } (in $binfmt_dir), which something else registered"
    return 1
  fi
  [ -x "$qemu" ] || { binfmt_refusal="$qemu is missing"; return 1; }
  # The F flag makes the kernel open the interpreter now, so it also works
  # inside Wine's own namespaces.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    > "$binfmt_dir/register" || { binfmt_refusal="cannot register $qemu with binfmt_misc"; return 1; }
  [ -e "$binfmt_dir/qemu-i386" ] && grep -qx enabled "$binfmt_dir/qemu-i386" \
    || { binfmt_refusal="the binfmt_misc entry for qemu-i386 is not active after registering"; return 1; }
  wine_starts "$loader" || { binfmt_refusal="$loader does not start under qemu-i386"; return 1; }
}
