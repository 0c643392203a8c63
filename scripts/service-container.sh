# Sourced by scripts/check-service: the booted container and the ways to
# act in it.  Every wait has a time-out, and whatever the run made (its
# directory, container and cgroup) is removed on every exit.
# shellcheck shell=bash
# shellcheck disable=SC2154 # unit, socket, work, base, root, cgroup: the caller's

# Asks the container's systemd to power off, if one runs, then makes sure.
power_off() {
	[ -n "$nspawn_pid" ] || return 0
	kill -TERM "$nspawn_pid" 2>/dev/null || true
	for _ in $(seq 200); do
		kill -0 "$nspawn_pid" 2>/dev/null || break
		sleep 0.1
	done
	kill -KILL "$nspawn_pid" 2>/dev/null || true
	wait "$nspawn_pid" 2>/dev/null || true
	nspawn_pid=
}

cleanup() {
	local status=$?
	trap - EXIT INT TERM HUP
	set +e
	power_off
	if [ -n "$cgroup" ] && [ -d "$cgroup" ]; then
		# Only what this run started lives in this cgroup.
		[ -f "$cgroup/cgroup.kill" ] && echo 1 >"$cgroup/cgroup.kill"
		for _ in $(seq 100); do
			[ -z "$(cat "$cgroup/cgroup.procs" 2>/dev/null)" ] && break
			sleep 0.1
		done
		find "$cgroup" -depth -type d -exec rmdir {} \; 2>/dev/null
	fi
	if [ -n "$work" ] && [ -d "$work" ]; then
		# debootstrap or piuparts cut short may leave mounts behind.
		findmnt -rn -o TARGET | grep -F "$work/" | sort -r |
		    while read -r m; do umount -l "$m"; done
		rm -rf --one-file-system "$work"
	fi
	exit "$status"
}
trap cleanup EXIT
trap 'echo "check-service: interrupted; cleaning up" >&2; exit 130' INT
trap 'echo "check-service: stopped (time-out or SIGTERM); cleaning up" >&2; exit 143' TERM
trap 'echo "check-service: hung up; cleaning up" >&2; exit 129' HUP

note() { printf '%s\n' "$*"; }
die() { printf 'check-service: %s\n' "$*" >&2; exit 1; }

passed=0
failed=0
check() {
	local name=$1
	shift
	if "$@"; then
		note "PASS: $name"
		passed=$((passed + 1))
	else
		note "FAIL: $name"
		failed=$((failed + 1))
	fi
}

# Runs a command inside the container, time-limited.
inside() { inside_for 60 "$@"; }
inside_for() {
	local secs=$1
	shift
	timeout --foreground -k 5 "$secs" nsenter -t "$leader" -a -- "$@"
}

# Boots a fresh copy of the base system, with the packages, the source
# tree (for its debian/tests) and the client loop in /root.
boot() {
	local state
	power_off
	rm -rf --one-file-system "$root"
	cp -a "$base" "$root"
	cp "$work"/*.deb "$root/root/"
	# Offline: apt knows only the local repositories autopkgtest makes.
	: >"$root/etc/apt/sources.list"
	echo daytime-check >"$root/etc/hostname"
	# Queries the service with the installed client, one query after
	# the other, until /run/loop.go goes (at most 120 s); one line a
	# query: the wait in microseconds, the client's status and what it
	# printed.
	cat >"$root/root/client-loop" <<'LOOP'
#!/bin/bash
end=$((SECONDS + 120))
while [ -e /run/loop.go ] && [ "$SECONDS" -lt "$end" ]; do
	t0=${EPOCHREALTIME/./}
	out=$(daytime_client 127.0.0.1 2>&1)
	rc=$?
	t1=${EPOCHREALTIME/./}
	printf '%d %d %s\n' $((t1 - t0)) "$rc" "${out%$'\r'}"
done
LOOP
	chmod +x "$root/root/client-loop"

	note "== booting it with systemd-nspawn"
	(
		echo "$BASHPID" >"$cgroup/cgroup.procs"
		# Every capability and the bpf call: systemd inside loads
		# the cgroup BPF programs of IPAddressAllow= and IPAddressDeny=.
		SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -q -b \
		    -D "$root" --private-network --register=no --keep-unit \
		    --capability=all --system-call-filter=bpf \
		    --console=passive </dev/null >"$work/nspawn.log" 2>&1
	) &
	nspawn_pid=$!

	# The container's init is nspawn's child, PID 1 in its namespace.
	leader=
	for _ in $(seq 300); do
		leader=$(pgrep -P "$nspawn_pid" | head -n 1 || true)
		[ -n "$leader" ] &&
		    grep -qs '^NSpid:.*[[:space:]]1$' "/proc/$leader/status" && break
		leader=
		kill -0 "$nspawn_pid" 2>/dev/null || break
		sleep 0.1
	done
	[ -n "$leader" ] ||
	    { cat "$work/nspawn.log" >&2; die "the container did not start"; }

	# Wait for the boot to finish, once systemd answers at all.
	for _ in $(seq 120); do
		state=$(inside systemctl is-system-running --wait 2>/dev/null || true)
		case $state in "" | offline) ;; *) break ;; esac
		kill -0 "$nspawn_pid" 2>/dev/null || break
		sleep 0.5
	done
	note "system state: $state"
	case $state in
	running|degraded) ;;
	*) inside journalctl -b --no-pager | tail -n 40 >&2
	   die "the container did not boot" ;;
	esac
}

main_pid() { inside systemctl show -P MainPID "$unit"; }

# The daytime_server processes running, as "pid exe" lines.
servers() {
	# shellcheck disable=SC2016 # expanded by the shell inside
	inside sh -c 'for p in /proc/[0-9]*; do
		[ "$(cat "$p/comm" 2>/dev/null)" = daytime_server ] &&
		    echo "${p#/proc/} $(readlink "$p/exe")"; done; true'
}

# Runs a command inside, printing how long it took; fails past 10 s.
timed() {
	local t0=${EPOCHREALTIME/./} rc=0
	inside "$@" >"$work/cmd.log" 2>&1 || rc=$?
	took=$(((${EPOCHREALTIME/./} - t0) / 1000))
	note "  $*: status $rc, ${took} ms"
	if [ "$rc" -ne 0 ] || [ "$took" -gt 10000 ]; then
		sed 's/^/    /' "$work/cmd.log"
		return 1
	fi
}

# What port 13 at address $1 sends within $2 seconds (5), into
# $work/reply: from the installed client for an IPv4 address, from bash's
# /dev/tcp for ::1.
ask() {
	if [ "$1" = ::1 ]; then
		inside timeout "${2:-5}" bash -c 'cat </dev/tcp/::1/13' >"$work/reply" 2>&1
	else
		inside timeout "${2:-5}" daytime_client "$1" >"$work/reply" 2>&1
	fi
}

# The reply to a query of port 13 at $1 (default 127.0.0.1) is the
# container's local time, as ctime shows it, at some second between just
# before and just after the query.
serves() {
	local fmt='%a %b %e %H:%M:%S %Y' before after t
	before=$(inside env LC_ALL=C date "+$fmt")
	ask "${1:-127.0.0.1}" || return 1
	after=$(inside env LC_ALL=C date "+$fmt")
	note "  ${1:-127.0.0.1}: $(sed -n l "$work/reply") (local time: $before .. $after)"
	for t in "$before" "$after"; do
		printf '%s\r\n' "$t" | cmp -s - "$work/reply" && return 0
	done
	return 1
}

# Writes standard input as drop-in $2 of unit $1, or removes that drop-in
# when the input is empty, and has systemd read the units again.
drop_in() {
	local dir=/etc/systemd/system/$1.d
	inside mkdir -p "$dir"
	inside sh -c "cat >$dir/$2.conf"
	[ -s "$root$dir/$2.conf" ] || inside rm "$dir/$2.conf"
	inside systemctl daemon-reload
}

