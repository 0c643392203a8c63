# Shell helpers sourced by the scripts that run a server on port 13.

# Re-runs the calling script ("$0" "$@") in a private network namespace
# with lo up; as a non-root user, inside a user namespace as well.
enter_netns() {
	if [ "${IN_PRIVATE_NETNS:-}" != 1 ]; then
		if [ "$(id -u)" -eq 0 ]; then
			IN_PRIVATE_NETNS=1 exec unshare --net "$0" "$@"
		fi
		IN_PRIVATE_NETNS=1 exec unshare --user --map-root-user --net "$0" "$@"
	fi
	ip link set lo up
}

# Waits (at most 10 s) until something listens on port 13 and process
# $1 is still alive; returns 1 otherwise.
wait_port() {
	for _ in $(seq 1000); do
		ss -ltnH 'sport = :13' | grep -q LISTEN && return 0
		kill -0 "$1" 2>/dev/null || return 1
		sleep 0.01
	done
	return 1
}
