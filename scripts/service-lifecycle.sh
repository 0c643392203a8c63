# Sourced by scripts/check-service: the installed service's life under a
# client loop (restarts, a crash, the upgrade), its faults and settings,
# and its removal and purge.
# shellcheck shell=bash
# shellcheck disable=SC2154 # unit, socket, work, new, next: the caller's

# A fresh install: the socket enabled and listening before any client,
# the service not yet started.
installs() {
	timed dpkg -i /root/daytime-server_"$new"_amd64.deb \
	    /root/daytime-client_"$new"_amd64.deb || return 1
	note "  port 13 $(port), socket $(enablement), service $(inside systemctl is-active "$unit" || true)"
	[ "$(port)" = open ] && [ "$(enablement)" = enabled ] &&
	    [ "$(inside systemctl is-active "$unit" || true)" = inactive ]
}

# The client loop, started in the background and judged when stopped.
loop=
loop_start() {
	inside touch /run/loop.go
	inside /root/client-loop >"$work/loop.log" &
	loop=$!
	sleep 1
}

# Stops the loop: passes when no query was refused, reset or failed in
# any other way, at most $1 were answered empty, none waited longer than
# 1.5 s, and there were at least 50 a second.
loop_verdict() {
	local log=$work/loop.log n secs empty refused reset other longest
	inside rm /run/loop.go
	wait "$loop"
	n=$(wc -l <"$log")
	secs=$(awk '{ s += $1 } END { printf "%.1f", s / 1e6 }' "$log")
	empty=$(awk '$2 == 0 && NF == 2' "$log" | wc -l)
	refused=$(grep -c 'Connection refused' "$log" || true)
	reset=$(grep -c 'Connection reset' "$log" || true)
	other=$(awk '$2 != 0' "$log" | grep -vc 'Connection re' || true)
	longest=$(sort -n "$log" | tail -n 1 | cut -d ' ' -f 1)
	note "  client loop: $n queries in $secs s; refused $refused, reset $reset, other failures $other, answered empty $empty (at most $1), longest wait $((longest / 1000)) ms"
	[ "$refused" -eq 0 ] && [ "$reset" -eq 0 ] && [ "$other" -eq 0 ] &&
	    [ "$empty" -le "$1" ] && [ "$longest" -le 1500000 ] &&
	    awk -v n="$n" -v s="$secs" 'BEGIN { exit !(n >= 50 * s) }'
}

# Five restarts, then a kill -9 of the server, while the loop queries.
# Restarts are 2.5 s apart: more than five starts within 10 s would hit
# systemd's default start limit.
seamless_restarts() {
	local pid now t0
	loop_start
	for _ in 1 2 3 4 5; do
		inside systemctl restart "$unit"
		sleep 2.5
	done
	pid=$(main_pid)
	# No server, no kill: kill -9 0 would end this whole run.
	[ "$pid" -gt 0 ] || return 1
	# shellcheck disable=SC2016 # expanded by the shell inside
	inside sh -c 'kill -9 "$1"' sh "$pid"
	t0=$SECONDS
	now=$pid
	while [ "$now" = "$pid" ] || [ "$now" = 0 ]; do
		[ $((SECONDS - t0)) -lt 10 ] || break
		sleep 0.2
		now=$(main_pid)
	done
	sleep 2.5
	note "  $now serves after $(inside systemctl show -P NRestarts "$unit") automatic restart(s)"
	loop_verdict 6
}

# The upgrade restarts the running server from the new binary and leaves
# the socket as it was, under the loop.
seamless_upgrade() {
	local pid since ok=0
	loop_start
	pid=$(main_pid)
	since=$(inside systemctl show -P ActiveEnterTimestampMonotonic "$socket")
	timed dpkg -i /root/daytime-server_"$next"_amd64.deb \
	    /root/daytime-client_"$next"_amd64.deb || ok=1
	if grep -qi daemon-reload "$work/cmd.log"; then
		grep -i daemon-reload "$work/cmd.log"
		ok=1
	fi
	sleep 1
	loop_verdict 1 || ok=1
	note "  server before: $pid; after: $(servers)"
	[ "$(main_pid)" != "$pid" ] && [ "$(servers | wc -l)" -eq 1 ] &&
	    servers | grep -q ' /usr/sbin/daytime_server$' || ok=1
	[ "$(inside systemctl show -P ActiveEnterTimestampMonotonic "$socket")" = "$since" ] ||
	    { note "  the socket was restarted"; ok=1; }
	return $ok
}

# A drop-in Backlog=16 on the socket stays after the server has started.
keeps_socket_backlog() {
	local line
	drop_in "$socket" backlog <<<$'[Socket]\nBacklog=16'
	inside systemctl restart "$socket"
	serves
	line=$(inside ss -ltnH 'sport = :13')
	note "  after the first connection: $line"
	drop_in "$socket" backlog </dev/null
	inside systemctl restart "$socket"
	[[ $line =~ ^LISTEN\ +0\ +16\  ]]
}

# The server's fatal line (accept denied by a drop-in's system call
# filter) is in the journal at priority err.
fatal_line_at_err() {
	local line
	drop_in "$unit" fault <<<$'[Service]\nSystemCallFilter=~accept accept4'
	inside systemctl stop "$unit" 2>/dev/null
	ask 127.0.0.1 || true
	drop_in "$unit" fault </dev/null
	line=$(inside journalctl -q --no-pager -b -u "$unit" -p err..err -o cat |
	    grep -x "accept error: Operation not permitted" | tail -n 1)
	note "  journalctl -p err..err: ${line:-no such line}"
	[ -n "$line" ] && serves
}

# Every start fails for 30 s (a drop-in's ExecStartPre, until a file
# goes) while a client waits: the socket listens throughout, about one
# start a second is made, and the client is served within 2 s of the
# fault's end.
rides_out_a_fault() {
	local t0 ok=0 state line starts end took client
	inside touch /run/daytime-fault
	drop_in "$unit" startfault <<<$'[Service]\nExecStartPre=/bin/sh -c "! test -e /run/daytime-fault"'
	inside systemctl stop "$unit" 2>/dev/null
	(ask 127.0.0.1 50; echo "$EPOCHREALTIME" >"$work/ride.done") &
	client=$!
	t0=$SECONDS
	while [ $((SECONDS - t0)) -lt 30 ]; do
		state=$(inside systemctl show -P ActiveState "$socket")
		line=$(inside ss -ltnH 'sport = :13')
		if [ "$state" != active ] || [[ $line != LISTEN* ]]; then
			note "  socket: $state; ${line:-not listening}"
			ok=1
		fi
		sleep 0.5
	done
	starts=$(($(inside systemctl show -P NRestarts "$unit") + 1))
	inside rm /run/daytime-fault
	end=$EPOCHREALTIME
	wait "$client"
	drop_in "$unit" startfault </dev/null
	took=$(awk -v a="$end" -v b="$(cat "$work/ride.done")" \
	    'BEGIN { printf "%.2f", b - a }')
	note "  $starts starts in 30 s; socket listening throughout: $([ $ok -eq 0 ] && echo yes || echo no)"
	note "  served $took s after the fault ended: $(sed -n l "$work/reply")"
	[ "$starts" -ge 15 ] && [ "$starts" -le 36 ] || ok=1
	awk -v t="$took" 'BEGIN { exit !(t <= 2) }' || ok=1
	grep -qE $'^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\r$' \
	    "$work/reply" || ok=1
	return $ok
}

# The README's recipe: with IPAddressDeny=any and IPAddressAllow= for
# 127.0.0.0/8, ::1 gets no reply and 127.0.0.1 is served; without it
# both are served.
access_recipe() {
	local v4 v6 ok=0
	drop_in "$socket" access <<<$'[Socket]\nIPAddressDeny=any\nIPAddressAllow=127.0.0.0/8'
	inside systemctl restart "$socket"
	if serves 127.0.0.1; then v4=served; else v4=denied; ok=1; fi
	if ask ::1 && [ -s "$work/reply" ]; then v6=served; ok=1; else v6=denied; fi
	note "  with the drop-in: 127.0.0.1 $v4, ::1 $v6"
	drop_in "$socket" access </dev/null
	inside systemctl restart "$socket"
	if serves 127.0.0.1; then v4=served; else v4=denied; ok=1; fi
	if serves ::1; then v6=served; else v6=denied; ok=1; fi
	note "  without it: 127.0.0.1 $v4, ::1 $v6"
	return $ok
}

# Nothing listens on port 13 and no server runs.

nothing_left_running() {
	local line procs
	line=$(inside ss -ltnH 'sport = :13')
	procs=$(servers)
	note "  port 13: ${line:-closed}; server processes: ${procs:-none}"
	[ -z "$line" ] && [ -z "$procs" ]
}

removed() {
	timed dpkg -r daytime-server daytime-client && nothing_left_running
}

purged() {
	local left
	timed dpkg --purge daytime-server daytime-client || return 1
	left=$(inside find / /run -xdev -name '*daytime*' -not -path '/root/*')
	note "  left behind: ${left:-nothing}"
	[ -z "$left" ]
}

# Nothing at warning or worse, but systemd's two lines on the kill.
quiet_journal() {
	local out
	out=$(inside journalctl -q --no-pager -b -u "$unit" -u "$socket" -p warning |
	    grep -vE "code=killed, status=9/KILL|Failed with result 'signal'" || true)
	[ -z "$out" ] || note "$out"
	[ -z "$out" ]
}

