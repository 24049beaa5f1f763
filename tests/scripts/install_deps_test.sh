#!/bin/bash
# Runs scripts/install-deps against stand-ins for apt-get, dpkg-query, id and
# sudo (no root, no network): a mirror whose apt-get update fails twice and
# then works, a download that fails once, a Windows part that fails, and a
# package set apt cannot resolve. The stand-ins log every call, and apt-get install only works
# after an update that worked, as with a fresh machine's empty indexes.
# Usage: install_deps_test.sh SOURCE_DIR
set -u
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; echo "--- calls:"; cat "$work/calls"; echo "--- output:"; cat "$work/output"; exit 1; }

mkdir "$work/bin"
cat > "$work/bin/apt-get" <<'STUB'
#!/bin/bash
echo "apt-get $*" >> "$STUB_DIR/calls"
case " $* " in
  *" update "*)
    updates=$(( $(cat "$STUB_DIR/updates" 2>/dev/null || echo 0) + 1 ))
    echo "$updates" > "$STUB_DIR/updates"
    if [ "$updates" -le "$STUB_UPDATE_FAILURES" ]; then
      echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size" >&2
      exit 100
    fi
    touch "$STUB_DIR/indexes" ;;
  *" install "*)
    [ "$STUB_UNRESOLVABLE" = 1 ] && { echo "E: Unable to locate package" >&2; exit 100; }
    [ -e "$STUB_DIR/indexes" ] || { echo "E: no indexes" >&2; exit 100; }
    case " $* " in *" -s "*) exit 0 ;; esac
    installs=$(( $(cat "$STUB_DIR/installs" 2>/dev/null || echo 0) + 1 ))
    echo "$installs" > "$STUB_DIR/installs"
    if [ "$installs" -le "$STUB_INSTALL_FAILURES" ]; then
      echo "E: Failed to fetch .../pool/main/c/cmake/cmake.deb  Connection reset" >&2
      exit 100
    fi ;;
esac
STUB
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
exit 1
STUB
cat > "$work/bin/id" <<'STUB'
#!/bin/sh
echo 1000
STUB
# Only ever hands on to the stand-in apt-get; the Windows installer "fails".
cat > "$work/bin/sudo" <<'STUB'
#!/bin/sh
echo "sudo $*" >> "$STUB_DIR/calls"
[ "$1" = apt-get ] && shift && exec "$STUB_DIR/bin/apt-get" "$@"
exit 1
STUB
chmod +x "$work/bin/"*

run() {  # run UPDATE_FAILURES INSTALL_FAILURES UNRESOLVABLE ARGS...: install-deps's status
  rm -f "$work/calls" "$work/updates" "$work/installs" "$work/indexes"
  touch "$work/calls"
  STUB_DIR=$work STUB_UPDATE_FAILURES=$1 STUB_INSTALL_FAILURES=$2 STUB_UNRESOLVABLE=$3 QB_APT_PAUSE=0 \
    PATH="$work/bin:$PATH" "$source_dir/scripts/install-deps" "${@:4}" > "$work/output" 2>&1
}
count() { grep -c -- "$1" "$work/calls"; }

run 2 0 0 --linux-only || fail "--linux-only: exit $? when apt-get update failed twice, then worked"
[ "$(count '^apt-get .* update$')" = 3 ] || fail "--linux-only: expected 3 apt-get updates"
[ "$(count '^apt-get .* install -y ')" = 1 ] || fail "--linux-only: expected one real apt-get install"
[ "$(count 'install-deps-windows')" = 0 ] || fail "--linux-only ran the Windows installer"

QB_WINDOWS_NO_I386=1 run 2 0 0 || fail "exit $? when only the Windows part failed"
[ "$(count '^sudo scripts/install-deps-windows --no-i386$')" = 1 ] \
  || fail "the Windows installer was not run once with --no-i386"
grep -q 'WARNING: the Windows packages could not be installed' "$work/output" \
  || fail "no warning that the Windows part failed"

run 0 1 0 --linux-only || fail "exit $? when one package download failed"
[ "$(count '^apt-get .* install -y ')" = 2 ] || fail "the failed install was not tried again"

run 9 0 0 --linux-only && fail "succeeded although apt-get update never worked"
[ "$(count '^apt-get .* update$')" = 3 ] || fail "expected 3 tries of apt-get update"

run 0 0 1 --linux-only && fail "succeeded although apt cannot resolve the packages"
[ "$(count '^apt-get .* install ')" = 1 ] || fail "retried an install that apt cannot resolve"
echo "install-deps: retries, Windows part and failures: ok"
