# Sourced by scripts/check-service: moving a host from daytime-tools 1.0.0,
# and a fresh install where another service holds port 13.
# shellcheck shell=bash
# shellcheck disable=SC2154 # unit, socket, work, new: the caller's

# The README's install command, the transitional package first.
install_new() {
	timed dpkg -i /root/daytime-tools_"$new"_all.deb \
	    /root/daytime-server_"$new"_amd64.deb /root/daytime-client_"$new"_amd64.deb
}

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

# The new packages in a repository of the container's own, then an
# upgrade from it, as apt upgrade makes one.
upgrade_by_apt() {
	inside mkdir -p /root/repo
	# shellcheck disable=SC2016 # expanded by the shell inside
	inside sh -c 'cp /root/daytime-*_"$1"_*.deb /root/repo && cd /root/repo &&
	    dpkg-scanpackages . >Packages 2>/dev/null &&
	    echo "deb [trusted=yes] file:/root/repo ./" >/etc/apt/sources.list.d/repo.list' sh "$new"
	timed sh -c 'apt-get update -qq && apt-get -y -qq --with-new-pkgs upgrade'
}

# 1.0.0 installed and enabled as its README said, having served clients
# (their connections left in TIME-WAIT), then the one command $1 moves
# it: the install command, or an upgrade from a repository.
moved_from_1_0_0() {
	local t0 ok=0 wants=/etc/systemd/system/multi-user.target.wants/$unit
	inside dpkg -i /root/daytime-tools_1.0.0_amd64.deb >/dev/null
	inside systemctl enable --now --quiet "$unit"
	for _ in $(seq 20); do inside daytime_client 127.0.0.1 >/dev/null || ok=1; done
	note "  1.0.0 serving: $(servers)"
	[ "$ok" -eq 0 ] || return 1
	t0=$SECONDS
	"$1" || ok=1
	while ! inside daytime_client 127.0.0.1 >/dev/null 2>&1; do
		[ $((SECONDS - t0)) -lt 90 ] || break
		sleep 0.2
	done
	note "  serving again after $((SECONDS - t0)) s (at most 70): $(servers)"
	# shellcheck disable=SC2016 # dpkg-query's own format
	note "  packages: $(inside dpkg-query -W -f '${Package} ${Version} ${db:Status-Abbrev}; ' 'daytime-*')"
	[ $((SECONDS - t0)) -le 70 ] || ok=1
	servers | grep -q deleted && { note "  a 1.0.0 server still runs"; ok=1; }
	inside test -e "$wants" -o -L "$wants" && { note "  $wants is left"; ok=1; }
	return $ok
}
