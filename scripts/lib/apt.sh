# apt-get with retries, for the installers (sourced, not run).
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

# apt_install ARGS...: apt-get install -y ARGS. Returns 0 when installed,
# 2 when apt cannot resolve the set (apt's explanation is on stderr), 1 when
# the resolvable set still failed to install after apt_tries tries.
apt_install() {
  local try output
  if ! output=$(${apt_sudo:-} apt-get "${apt_options[@]}" install -s -y "$@" 2>&1); then
    printf '%s\n' "$output" | grep -v '^\(Inst\|Conf\|Remv\) ' >&2
    return 2
  fi
  for (( try = 1; try <= apt_tries; try++ )); do
    ${apt_sudo:-} apt-get "${apt_options[@]}" install -y "$@" && return 0
    if (( try < apt_tries )); then
      apt_note "apt-get install failed (try $try of $apt_tries); updating the indexes and trying again in $apt_pause s"
      sleep "$apt_pause"
      ${apt_sudo:-} apt-get "${apt_options[@]}" update || true
    fi
  done
  return 1
}
