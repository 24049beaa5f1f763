#!/bin/bash
# Runs scripts/install-deps against stand-ins for apt-get, apt-cache,
# dpkg-query, id and sudo (no root, no network): a mirror whose apt-get
# update fails twice and then works, a download that fails once, a Windows
# part that fails, and a package set apt cannot resolve. The stand-ins log
# every call, and apt-get install only works after an update that worked, as
# with a fresh machine's empty indexes. Then the Windows installer's i386
# fallback and binfmt_misc set-up, with stand-ins for their plans and files.
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
    touch "$STUB_DIR/indexes"
    [ -z "${STUB_PLAN_AFTER_UPDATE:-}" ] || cp "$STUB_PLAN_AFTER_UPDATE" "$STUB_PLAN" ;;
  *" install "*)
    [ "$STUB_UNRESOLVABLE" = 1 ] && { echo "E: Unable to locate package" >&2; exit 100; }
    [ -e "$STUB_DIR/indexes" ] || { echo "E: no indexes" >&2; exit 100; }
    case " $* " in *" -s "*) [ -z "${STUB_PLAN:-}" ] || cat "$STUB_PLAN"; exit 0 ;; esac
    installs=$(( $(cat "$STUB_DIR/installs" 2>/dev/null || echo 0) + 1 ))
    echo "$installs" > "$STUB_DIR/installs"
    if [ "$installs" -le "$STUB_INSTALL_FAILURES" ]; then
      echo "E: Failed to fetch .../pool/main/c/cmake/cmake.deb  Connection reset" >&2
      exit 100
    fi ;;
esac
STUB
# Nothing is installed; asked for the packages' priorities and dependencies,
# it prints STUB_DPKG_STATUS.
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
case "$*" in *Essential*) [ -n "${STUB_DPKG_STATUS:-}" ] && cat "$STUB_DPKG_STATUS" ;; esac
exit 1
STUB
cat > "$work/bin/apt-cache" <<'STUB'
#!/bin/sh
exit 0
STUB
cat > "$work/bin/id" <<'STUB'
#!/bin/sh
echo "${STUB_UID:-1000}"
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

# The i386 fallback goes ahead only with a plan that removes nothing and
# downgrades nothing the system stands on (here libc6, which dpkg, being
# required, pre-depends on, and libssl3, which nothing installed here needs);
# a downgrade of anything else is its purpose. The plan is checked again
# before a retry, as the update before it can change the plan.
mkdir "$work/preferences"
printf 'ii |dpkg|required|yes|libc6 (>= 2.34), libzstd1\nii |wine|optional|no|, libwine\n' > "$work/status"
touch "$work/indexes"
# With PLAN_AFTER_UPDATE the first download fails, and the update before the
# retry turns the plan into PLAN_AFTER_UPDATE.
aside() {  # aside PLAN [PLAN_AFTER_UPDATE]: install_with_security_suite_aside's status, its refusal in $work/output
  printf '%s\n' "$1" > "$work/plan"
  printf '%s\n' "${2:-$1}" > "$work/plan-after-update"
  rm -f "$work/installs"
  : > "$work/calls"
  ( export STUB_DIR=$work STUB_UPDATE_FAILURES=0 STUB_INSTALL_FAILURES=$(( $# > 1 )) STUB_UNRESOLVABLE=0 \
      STUB_PLAN=$work/plan STUB_PLAN_AFTER_UPDATE=$work/plan-after-update STUB_DPKG_STATUS=$work/status \
      QB_APT_PREFERENCES_DIR=$work/preferences QB_APT_PAUSE=0 PATH="$work/bin:$PATH"
    source "$source_dir/scripts/lib/apt.sh"
    i386_packages=(wine32:i386)
    install_with_security_suite_aside wine32:i386 2>/dev/null
    status=$?
    echo "$security_aside_refusal" > "$work/output"
    exit "$status" )
}
installs() { grep -c '^apt-get .* install -y ' "$work/calls"; }
aside 'Inst libc6 [2.36-9+deb12u9] (2.36-9+deb12u7 Debian:12.9/stable [amd64])
Inst libc6:i386 (2.36-9+deb12u7 Debian:12.9/stable [i386])'
[ $? = 3 ] && [ "$(installs)" = 0 ] || fail "a plan that downgrades libc6 was not refused"
grep -q 'downgrades libc6 from 2.36-9+deb12u9 to 2.36-9+deb12u7' "$work/output" || fail "no reason given"
aside 'Inst libssl3 [3.0.15-1~deb12u1] (3.0.11-1~deb12u2 Debian:12.9/stable [amd64])'
[ $? = 3 ] && [ "$(installs)" = 0 ] || fail "a plan that downgrades libssl3 was not refused where nothing needs it"
aside 'Inst libwine [8.0~repack-4+b1] (8.0~repack-4 Debian:12.9/stable [amd64])' \
      'Remv libwine-dev [8.0~repack-4+b1]
Inst libwine [8.0~repack-4+b1] (8.0~repack-4 Debian:12.9/stable [amd64])'
[ $? = 3 ] && [ "$(installs)" = 1 ] || fail "the retry carried out a plan that removes a package"
grep -q 'removes libwine-dev' "$work/output" || fail "no reason given for refusing the retry"
aside 'Remv libc6-dev [2.36-9+deb12u9]
Inst libwine [8.0~repack-4+b1] (8.0~repack-4 Debian:12.9/stable [amd64])'
[ $? = 3 ] && [ "$(installs)" = 0 ] || fail "a plan that removes a package was not refused"
grep -q 'removes libc6-dev' "$work/output" && ! grep -q libwine "$work/output" || fail "wrong reason"
aside 'Inst libwine [8.0~repack-4+b1] (8.0~repack-4 Debian:12.9/stable [amd64])'
[ $? = 0 ] && [ "$(installs)" = 1 ] || fail "a plan that downgrades only an optional library was refused"
[ -z "$(ls "$work/preferences")" ] || fail "the fallback left its preferences file behind"

# A preferences file left by a run that was stopped goes before anything else.
touch "$work/preferences/quillbridge-security-aside"
: > "$work/calls"
STUB_DIR=$work STUB_UPDATE_FAILURES=0 STUB_INSTALL_FAILURES=0 STUB_UNRESOLVABLE=1 STUB_UID=0 \
  QB_APT_PREFERENCES_DIR=$work/preferences QB_APT_PAUSE=0 PATH="$work/bin:$PATH" \
  "$source_dir/scripts/install-deps-windows" > "$work/output" 2>&1 \
  && fail "the Windows installer succeeded with no packages to be had"
[ ! -e "$work/preferences/quillbridge-security-aside" ] || fail "the stale preferences file is still there"
echo "install-deps-windows: the i386 fallback's refusals and a stale preferences file: ok"

# qemu is registered only where the 32-bit Wine does not start as it is, and
# never over an i386 entry that something else registered.
mkdir "$work/binfmt"
printf '#!/bin/sh\n[ -n "$STUB_NATIVE" ] && echo wine-8.0\n' > "$work/wine"
printf '#!/bin/sh\n' > "$work/qemu"
chmod +x "$work/wine" "$work/qemu"
binfmt() {  # binfmt NATIVE: set_up_i386_binfmt's status, its refusal in $work/output
  : > "$work/binfmt/register"
  ( export STUB_NATIVE=$1 QB_BINFMT_DIR=$work/binfmt
    source "$source_dir/scripts/lib/binfmt.sh"
    set_up_i386_binfmt "$work/wine" "$work/qemu" 2>/dev/null
    status=$?
    echo "$binfmt_refusal" > "$work/output"
    exit "$status" )
}
printf 'enabled\ninterpreter /usr/bin/python3\nflags: \noffset 0\nmagic 550d0d0a\n' > "$work/binfmt/python"
binfmt 1 && [ ! -s "$work/binfmt/register" ] || fail "registered qemu although the 32-bit Wine starts natively"
binfmt "" && fail "succeeded although nothing can start the 32-bit Wine"
grep -q ':qemu-i386:M::' "$work/binfmt/register" || fail "did not register qemu where it is needed"
printf 'enabled\ninterpreter /usr/bin/box86\nflags: \noffset 0\nmagic 7f454c4601010100000000000000000002000300\n' \
  > "$work/binfmt/box86"
binfmt "" && fail "succeeded although the 32-bit Wine does not start"
[ ! -s "$work/binfmt/register" ] || fail "registered qemu over an i386 entry something else registered"
grep -q 'box86' "$work/output" || fail "the refusal does not name the entry in the way"
echo "install-deps-windows: binfmt_misc only where needed and never over another entry: ok"
