# Helpers of the load scripts (bench/load/run, bench/load/latency); sourced,
# not run. The caller sets `build` and `trial` (seconds a trial sends) and
# calls load_setup "$0" "$@" first: it builds the programs outside the private
# namespace, then runs the caller again inside it.
#
# Settings read by start_target:
#   delta=1|0       the feed handler clicks BCAST DELTA (default 1)
#   batch=1|0       0 starts the feed handler with FH_BATCH=0 (batched receives off)
#   client_args=()  extra bridge-client options
#   sim_args=()     extra exchange-sim options
#   fh_bin=PATH     another feedhandler program to start (default: this build's)
# Environment: FH_LOAD_NICE (default -10) is the niceness of the program under
# test, its bridge-client and any busy process; the sender runs 5 below it, so
# that on a shared machine neither the neighbours' load nor the program under
# test slows the sender down. FH_LOAD_NICE=0 runs all at normal priority and
# the sender at -5.

load_setup() {
  local self=$1
  shift
  if [ "${FH_IN_NETNS:-}" != 1 ]; then
    scripts/deps
    if [ -f "$build/CMakeCache.txt" ]; then
      cmake -S . -B "$build" -DFH_WITH_BENCH=ON >/dev/null
    else
      cmake -S . -B "$build" -G Ninja -DFH_WITH_QT=OFF -DFH_WITH_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" --target feedhandler exchange-sim bridge-client floor relay -j "${FH_JOBS:-2}"
    exec scripts/netns-run "$self" "$@"
  fi
  bin="$root/$build/bin"
  run=$(mktemp -d /tmp/fh-load.XXXXXX)
  hz=$(getconf CLK_TCK)
}

delta=1 batch=1 client_args=() sim_args=() fh_bin=""
prio=${FH_LOAD_NICE:--10}

drops() { awk '/^Udp:/ { if (++n == 2) print $6 }' /proc/net/snmp; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# The sender: datagrams built up front (4000 per segment), handed to the
# kernel by sendmmsg in batches, paced to the rate.
sim() { nice -n $((prio - 5)) "$bin/exchange-sim" --quiet --pool 4000 --batch 32 "${sim_args[@]}" "$@"; }

# Starts the program under test (feedhandler, floor or relay) and a reading
# bridge-client; sets target_pid and client_pid.
start_target() {
  local what=$1
  case $what in
    feedhandler)
      local clicks=(--click NSE-CM --click NSE-FO --click NSE-CD --click BSE-CM-FO-CD --click TCP --click Server --click Start)
      [ "$delta" = 1 ] && clicks=(--click "BCAST DELTA" "${clicks[@]}")
      local env=(-u FH_BATCH)
      [ "$batch" = 0 ] && env=(FH_BATCH=0)
      (cd "$run" && exec nice -n "$prio" env "${env[@]}" "${fh_bin:-$bin/feedhandler}" --headless --workdir "$run" --system-drive "$run" \
         "${clicks[@]}" </dev/null >"$run/fh.log" 2>&1) &
      target_pid=$!
      for _ in $(seq 100); do grep -q "TCP Server running" "$run/fh.log" 2>/dev/null && break; sleep 0.1; done
      ;;
    floor | relay)
      nice -n "$prio" "$bin/$what" >"$run/$what.log" 2>&1 &
      target_pid=$!
      ;;
  esac
  sleep 0.5
  nice -n "$prio" "$bin/bridge-client" --quiet --seconds $((trial + 60)) --connect-timeout 5 "${client_args[@]}" >"$run/client.log" 2>&1 &
  client_pid=$!
  sleep 0.5
}

stop_target() {
  kill -INT "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  kill -INT "$target_pid" 2>/dev/null || true
  wait "$target_pid" 2>/dev/null || true
}

# One trial at a rate: prints "ok|drop|slowsim ACHIEVED_RATE DROPS CPU_US_PER_DATAGRAM".
trial_at() {
  local what=$1 rate=$2
  start_target "$what"
  local d0 c0 out achieved sent d1 c1
  d0=$(drops)
  c0=$(cpu_ticks "$target_pid")
  out=$(sim --rate "$rate" --seconds "$trial" 2>&1 | tail -1)
  sleep 1
  d1=$(drops)
  c1=$(cpu_ticks "$target_pid")
  stop_target
  sent=$(echo "$out" | sed -n 's/.*total \([0-9]*\) datagrams.*/\1/p')
  achieved=$(echo "$out" | sed -n 's/.*(\([0-9]*\) datagrams\/s).*/\1/p')
  local cpu_us
  cpu_us=$(awk -v t=$((c1 - c0)) -v hz="$hz" -v n="${sent:-0}" 'BEGIN { printf "%.2f", (n > 0 ? t / hz * 1e6 / n : 0) }')
  # The simulator must have kept the rate (within 3%) for the trial to count.
  local verdict=ok
  if [ $((d1 - d0)) -ne 0 ]; then verdict=drop; fi
  if [ "${achieved:-0}" -lt $((rate * 97 / 100)) ]; then verdict=slowsim; fi
  echo "$verdict ${achieved:-0} $((d1 - d0)) $cpu_us"
}

# Doubles the rate until a trial drops, then bisects; prints "RATE CPU_US".
find_max() {
  local what=$1 low=0 high=0 rate=${FH_LOAD_START:-4000} cpu=0 result
  while :; do
    result=$(trial_at "$what" "$rate")
    echo "  $what at $rate/s: $result" >&2
    set -- $result
    if [ "$1" = ok ]; then low=$rate; cpu=$4; rate=$((rate * 2)); else high=$rate; break; fi
    [ "$rate" -gt 400000 ] && break
  done
  if [ "$1" = slowsim ] && [ "$low" -gt 0 ]; then echo "  (the simulator could not send faster than $2/s)" >&2; fi
  for _ in 1 2 3; do
    [ "$high" -eq 0 ] && break
    rate=$(((low + high) / 2))
    [ $((high - low)) -lt $((low / 20 + 1)) ] && break
    result=$(trial_at "$what" "$rate")
    echo "  $what at $rate/s: $result" >&2
    set -- $result
    if [ "$1" = ok ]; then low=$rate; cpu=$4; else high=$rate; fi
  done
  echo "$low $cpu"
}
