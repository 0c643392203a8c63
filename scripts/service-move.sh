# Sourced by scripts/check-service: moving a host from daytime-tools 1.0.0
# by each way of installing, and a fresh install where another service
# holds port 13.
# shellcheck shell=bash
# shellcheck disable=SC2154 # unit, socket, work, new: the caller's

# Another service holds port 13 (systemd's activation helper, waiting
# for a connection), then daytime-server is installed fresh: the socket
# fails once with systemd's own "Address already in use", and no job
# retries it.
fresh_install_port_taken() {
	local lines line ok=0
	inside systemd-run --quiet --unit=squatter systemd-socket-activate -l 13 sleep 600
	for _ in $(seq 50); do
		inside ss -ltnH 'sport = :13' | grep -q . && break
		sleep 0.1
	done
	timed dpkg -i /root/daytime-server_"$new"_amd64.deb \
	    /root/daytime-client_"$new"_amd64.deb || ok=1
	sleep 3
	# Not -u: the line on the address comes from the short-lived process
	# that makes the socket, which the journal does not always match to
	# the unit.
	lines=$(inside journalctl -q --no-pager -b -o cat | grep -F "$socket")
	while IFS= read -r line; do note "  journal: $line"; done <<<"$lines"
	grep -q 'Address already in use' <<<"$lines" || ok=1
	[ "$(grep -c 'Failed with result' <<<"$lines")" -eq 1 ] || ok=1
	if inside systemctl list-units --all --no-legend 'daytime-server-socket-retry*' | grep -q .; then
		note "  a retry job runs"
		ok=1
	fi
	inside systemctl stop squatter
	timed dpkg --purge daytime-server daytime-client || ok=1
	return $ok
}

# The ways of installing over 1.0.0, each one command.  In a shell's
# glob's order: client, server, transitional.
dpkg_glob() {
	timed dpkg -i /root/daytime-client_"$new"_amd64.deb \
	    /root/daytime-server_"$new"_amd64.deb /root/daytime-tools_"$new"_all.deb
}
dpkg_transitional_first() {
	timed dpkg -i /root/daytime-tools_"$new"_all.deb \
	    /root/daytime-server_"$new"_amd64.deb /root/daytime-client_"$new"_amd64.deb
}
# The server's package alone, as a user may pick it.
apt_server_alone() { timed apt-get install -y -qq /root/daytime-server_"$new"_amd64.deb; }
# From a repository of the container's own, as apt upgrade makes it.
apt_upgrade() {
	inside mkdir -p /root/repo
	# shellcheck disable=SC2016 # expanded by the shell inside
	inside sh -c 'cp /root/daytime-*_"$1"_*.deb /root/repo && cd /root/repo &&
	    dpkg-scanpackages . >Packages 2>/dev/null &&
	    echo "deb [trusted=yes] file:/root/repo ./" >/etc/apt/sources.list.d/repo.list' sh "$new"
	timed sh -c 'apt-get update -qq && apt-get -y -qq --with-new-pkgs upgrade'
}
# The glob, then the transitional package purged.
dpkg_glob_then_purge() { dpkg_glob && timed dpkg --purge daytime-tools; }

# Whether port 13 listens, and whether the socket is enabled: "open" or
# "closed", "enabled" or "disabled".
port() { inside ss -ltnH 'sport = :13' | grep -q . && echo open || echo closed; }
enablement() {
	inside systemctl is-enabled --quiet "$socket" 2>/dev/null &&
	    echo enabled || echo disabled
}

# One row of the upgrade table: 1.0.0 installed, its service enabled and
# started as its README said when $2 is "enabled" (and, with $3, having
# served $3 clients, whose connections keep port 13 in TIME-WAIT, and
# then the new server is asked too), then the one command $1 installs the
# new packages.  Port 13 must listen afterwards (within 70 s) if and only
# if 1.0.0's service was enabled, the socket be
# enabled likewise, both units be on disk, and nothing of the packages
# run after the command returns but the socket, the server and the timer
# that waits out TIME-WAIT.  Everything is purged again at the end.
move_row() {
	local how=$1 was=$2 clients=${3:-} ok=0 t0 before after running
	inside dpkg -i /root/daytime-tools_1.0.0_amd64.deb >/dev/null
	[ "$was" != enabled ] || inside systemctl enable --now --quiet "$unit"
	for _ in $(seq "${clients:-0}"); do inside daytime_client 127.0.0.1 >/dev/null || ok=1; done
	before="port $(port), service $(inside systemctl is-enabled "$unit" 2>/dev/null || true)"
	t0=$SECONDS
	"$how" || ok=1
	running=$(inside systemctl list-units --state=active --no-legend --plain 'daytime-*' |
	    awk '{ printf "%s%s", sep, $1; sep = " " }')
	if [ "$was" = enabled ]; then
		while [ "$(port)" = closed ] && [ $((SECONDS - t0)) -lt 90 ]; do sleep 0.2; done
		[ $((SECONDS - t0)) -le 70 ] || ok=1
		# A query leaves connections in TIME-WAIT, which would keep
		# the next row's 1.0.0 from binding: only the last row asks.
		if [ -n "$clients" ]; then serves || ok=1; fi
		[ "$(port)" = open ] || ok=1
	else
		sleep 2
		[ "$(port)" = closed ] || ok=1
	fi
	after="port $(port) after $((SECONDS - t0)) s, socket $(enablement)"
	[ "$(enablement)" = "$was" ] || ok=1
	inside test -f /usr/lib/systemd/system/"$unit" -a -f /usr/lib/systemd/system/"$socket" ||
	    { note "  a unit file is missing"; ok=1; }
	servers | grep -q deleted && { note "  a 1.0.0 server still runs"; ok=1; }
	note "  | $how | 1.0.0 $was${clients:+, $clients served} | $before | $after | units on disk | running: ${running:-nothing} |"
	# shellcheck disable=SC2016 # dpkg-query's own format
	note "  packages: $(inside dpkg-query -W -f '${Package} ${Version} ${db:Status-Abbrev}; ' 'daytime-*')"
	inside systemctl stop daytime-server-socket-retry.timer 2>/dev/null || true
	inside rm -f /etc/apt/sources.list.d/repo.list
	timed dpkg --purge daytime-tools daytime-server daytime-client >/dev/null || ok=1
	return $ok
}
