# apt-get with retries, and the i386 fallback that sets the security suite
# aside, for the installers (sourced, not run).
#
# Mirrors fail in two ways that need different handling: a fetch that fails
# now may work a minute later (mirror sync in progress, a dropped
# connection), so updates and downloads are tried a few times with a pause;
# a package set apt cannot resolve stays unresolvable, so a resolver failure
# is reported at once instead of being retried.
#
# QB_APT_TRIES and QB_APT_PAUSE (seconds) tune the retries; the script tests
# set the pause to 0.

apt_tries=${QB_APT_TRIES:-3}
apt_pause=${QB_APT_PAUSE:-10}
# Another apt run may hold dpkg's lock; wait for it instead of failing.
apt_options=(-o DPkg::Lock::Timeout=900 -o Acquire::Retries=3)
export DEBIAN_FRONTEND=noninteractive

apt_note() { echo "${apt_caller:-apt}: $*" >&2; }

# Runs apt-get update until it succeeds, at most apt_tries times. An index
# that still cannot be fetched is not fatal here: apt keeps what it fetched,
# and the install that follows says whether the packages needed are there.
apt_update() {
  local try
  for (( try = 1; try <= apt_tries; try++ )); do
    ${apt_sudo:-} apt-get "${apt_options[@]}" update && return 0
    if (( try < apt_tries )); then
      apt_note "apt-get update failed (try $try of $apt_tries); trying again in $apt_pause s"
      sleep "$apt_pause"
    fi
  done
  apt_note "WARNING: apt-get update failed $apt_tries times; going on with the package indexes that could be fetched"
  return 0
}

# apt_install [--harmless] ARGS...: apt-get install -y ARGS. Returns 0 when
# installed, 2 when apt cannot resolve the set (apt's explanation is on
# stderr), 1 when the resolvable set still failed to install after apt_tries
# tries. With --harmless every try first checks its plan with apt_plan_harm,
# since the update before a retry can change the plan, and returns 3 with the
# reasons in apt_plan_refusal when the plan would harm the machine; the
# install itself runs with --no-remove, so a plan that changed after its
# check still cannot remove a package.
apt_plan_refusal=""
apt_install() {
  local try output harmless=0 real_options=()
  if [ "${1:-}" = --harmless ]; then
    harmless=1
    real_options=(--no-remove)
    shift
  elif ! output=$(${apt_sudo:-} apt-get "${apt_options[@]}" install -s -y "$@" 2>&1); then
    printf '%s\n' "$output" | grep -v '^\(Inst\|Conf\|Remv\) ' >&2
    return 2
  fi
  for (( try = 1; try <= apt_tries; try++ )); do
    if (( harmless )); then
      apt_plan_refusal=$(apt_plan_harm "$@") || return 2
      [ -z "$apt_plan_refusal" ] || return 3
    fi
    ${apt_sudo:-} apt-get "${apt_options[@]}" install -y "${real_options[@]}" "$@" && return 0
    if (( try < apt_tries )); then
      apt_note "apt-get install failed (try $try of $apt_tries); updating the indexes and trying again in $apt_pause s"
      sleep "$apt_pause"
      ${apt_sudo:-} apt-get "${apt_options[@]}" update || true
    fi
  done
  return 1
}

# The preferences file that sets the security suite aside for one install
# (see install_with_security_suite_aside). QB_APT_PREFERENCES_DIR is for the
# script tests only.
apt_security_aside_pin=${QB_APT_PREFERENCES_DIR:-/etc/apt/preferences.d}/quillbridge-security-aside

# Prints the packages the system stands on: those of priority required or
# important, the essential ones, and every package these depend on directly.
# Debian gives its libraries priority optional (libc6, zlib1g and libssl3
# among them) and lets what needs them pull them in, so the priority alone
# would protect hardly any library. libc6 and zlib1g come in through dpkg;
# libssl3 only through what happens to be installed (systemd, say), so the
# three are named here to be protected on any machine.
apt_vital_packages() {
  {
    printf '%s\n' libc6 libssl3 zlib1g
    dpkg-query -W -f='${db:Status-Abbrev}|${Package}|${Priority}|${Essential}|${Pre-Depends}, ${Depends}\n' \
        2>/dev/null |
      awk -F'|' '$1 ~ /^ii/ && ($3 == "required" || $3 == "important" || $4 == "yes") {
        print $2
        n = split($5, names, /[,|]/)
        for (i = 1; i <= n; i++) {
          name = names[i]; sub(/^ +/, "", name); sub(/[ :(].*/, "", name)
          if (name != "") print name
        }
      }'
  } | sort -u
}

# apt_plan_harm ARGS...: simulates apt-get install ARGS and prints, one a
# line, what its plan would do that an installer must not do to someone's
# machine: remove a package, or downgrade one the system stands on. Prints
# nothing for a harmless plan; returns 2 (apt's explanation on stderr) when
# apt cannot resolve the set.
apt_plan_harm() {
  local plan vital name old new
  if ! plan=$(${apt_sudo:-} apt-get "${apt_options[@]}" install -s -y "$@" 2>&1); then
    printf '%s\n' "$plan" | grep -v '^\(Inst\|Conf\|Remv\) ' >&2
    return 2
  fi
  awk '$1 == "Remv" { print "removes " $2 }' <<<"$plan"
  vital=$(apt_vital_packages)
  # A package already installed shows as "Inst NAME [INSTALLED] (NEW ...".
  while read -r name old new; do
    if dpkg --compare-versions "$new" lt "$old" && grep -qxF "${name%%:*}" <<<"$vital"; then
      echo "downgrades $name from $old to $new"
    fi
  done < <(sed -n 's/^Inst \([^ ]*\) \[\([^]]*\)\] (\([^ ]*\) .*/\1 \2 \3/p' <<<"$plan")
  return 0
}

# When the security suite's i386 index cannot be fetched, a Multi-Arch: same
# library installed (amd64) from the security suite has no i386 build of the
# same version, and apt cannot install its i386 twin. So, for one install,
# the security suite gets a low priority, and every such library the i386
# packages depend on is named in both architectures at the newest version
# built for both, even where that is a downgrade. That is done only when the
# plan removes nothing and downgrades nothing the system stands on (a
# security fix in libc6, libssl3 or zlib1g, say), checked before every try
# of the install; otherwise nothing is installed and security_aside_refusal
# says why (status 3). Uses i386_packages. The
# preferences file is removed afterwards so the machine's apt policy is left
# as it was.
security_aside_refusal=""
install_with_security_suite_aside() {  # PACKAGES...
  local pin=$apt_security_aside_pin
  trap "rm -f '$pin'" EXIT
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' > "$pin"

  local needed package version multi_arch both=() i386_versions common
  needed=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
             --no-breaks --no-replaces --no-enhances "${i386_packages[@]}" \
           | grep -v '^[ <]' | sed 's/:i386$//' | sort -u)
  while read -r package version multi_arch; do
    [ "$multi_arch" = same ] && grep -qxF "$package" <<<"$needed" || continue
    i386_versions=$(apt-cache madison "$package:i386" | awk -F'|' '{gsub(/ /, "", $2); print $2}')
    grep -qxF "$version" <<<"$i386_versions" && continue
    common=$(apt-cache madison "$package" | awk -F'|' '{gsub(/ /, "", $2); print $2}' \
             | grep -xF -m1 -f <(printf '%s\n' "$i386_versions")) || continue
    both+=("$package=$common" "$package:i386=$common")
  done < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package} ${Version} ${Multi-Arch} ${Architecture}\n' \
           | awk '$1 == "ii" && $5 == "amd64" { print $2, $3, $4 }')
  echo "${apt_caller:-apt}: Multi-Arch: same packages whose installed version has no i386 build, named in both architectures: ${both[*]:-none}" >&2

  local result=0
  apt_install --harmless --no-install-recommends --allow-downgrades "$@" "${both[@]}" || result=$?
  if [ "$result" = 3 ]; then
    security_aside_refusal="with the security suite set aside, apt would do what an installer must not: ${apt_plan_refusal//$'\n'/; }"
  fi
  rm -f "$pin"
  trap - EXIT
  return "$result"
}
