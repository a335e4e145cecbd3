#!/usr/bin/env bash
# Measures Quillsend Server side by side with ngircd and InspIRCd on loopback.
# Everything that touches the network runs inside a private network namespace, so the fixed
# port of our server cannot clash with anything on the machine and no traffic leaves it.
#
# Knobs (environment):
#   BENCH_SERVERS="quill ngircd inspircd"
#   BENCH_WORKLOADS="fanout quickack stall admit idle"
#   BENCH_FANOUT_N="100 1000"       client counts for the fanout workload
#   BENCH_RUNS=3                    runs per workload; the table shows medians
#   BENCH_SECONDS=10                sending time of fanout and quickack
#   BENCH_STALL_SECONDS=40          sending time of stall (servers need time to notice)
#   BENCH_STALL_RUNS=1              runs of stall (each takes BENCH_STALL_SECONDS)
#   BENCH_ADMIT_TIMEOUT=15          cap on the admit workload per run, in seconds
#   QS_SERVER=path/to/quillsend-server   (default: ../build/quillsend-server from bench/)
#   BENCH_OUT=path/to/latest.md
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT_DIR=$(dirname "$BENCH_DIR")
export BENCH_SERVERS=${BENCH_SERVERS:-"quill ngircd inspircd"}
export BENCH_WORKLOADS=${BENCH_WORKLOADS:-"fanout quickack stall admit idle"}
export BENCH_FANOUT_N=${BENCH_FANOUT_N:-"100 1000"}
export BENCH_RUNS=${BENCH_RUNS:-3}
export BENCH_SECONDS=${BENCH_SECONDS:-10}
export BENCH_STALL_SECONDS=${BENCH_STALL_SECONDS:-40}
export BENCH_STALL_RUNS=${BENCH_STALL_RUNS:-1}
export BENCH_ADMIT_TIMEOUT=${BENCH_ADMIT_TIMEOUT:-15}
export QS_SERVER=${QS_SERVER:-$BENCH_DIR/../build/quillsend-server}
export BENCH_OUT=${BENCH_OUT:-$BENCH_DIR/results/latest.md}
export LOADGEN=$ROOT_DIR/build-bench/qs-loadgen

QUILL_PORT=4080
NGIRCD_PORT=6667
INSPIRCD_PORT=6668

log() { printf '[bench %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

ensure_package() {  # $1 = command, $2 = Debian package
  command -v "$1" >/dev/null && return 0
  log "installing $2"
  if ! apt-get install -y "$2" >/dev/null; then
    apt-get update >/dev/null
    apt-get install -y "$2" >/dev/null
  fi
  command -v "$1" >/dev/null
}

prepare() {
  log "building the load generator"
  cmake -S "$BENCH_DIR" -B "$ROOT_DIR/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$ROOT_DIR/build-bench" >/dev/null
  for s in $BENCH_SERVERS; do
    case $s in
      ngircd) ensure_package ngircd ngircd ;;
      # Debian installs it in /usr/sbin, which is not on every PATH.
      inspircd) PATH=$PATH:/usr/sbin ensure_package inspircd inspircd ;;
      quill)
        if [[ ! -x $QS_SERVER ]]; then
          log "our server is not built at $QS_SERVER; set QS_SERVER (skipping it)"
        fi
        ;;
      *) log "unknown server '$s'"; exit 1 ;;
    esac
  done
}

# ---------------------------------------------------------------- inside the namespace

SERVER_PID=
SERVER_PORT=
PROTO=

start_server() {  # $1 = server name; sets SERVER_PID, SERVER_PORT, PROTO
  local s=$1 dir=$WORK/$1
  mkdir -p "$dir"
  case $s in
    quill)
      cp "$QS_SERVER" "$dir/quillsend-server"
      printf '[Main]\nPassword=secret\n' >"$dir/quillsend-server.INI"
      "$dir/quillsend-server" --headless >>"$dir/server.log" 2>&1 &
      SERVER_PID=$! SERVER_PORT=$QUILL_PORT PROTO=quill
      ;;
    ngircd)
      # MaxPenaltyTime = 0 turns off ngircd's per-client flood throttling, which otherwise
      # limits an ordinary client to a few lines per second.
      cat >"$dir/ngircd.conf" <<EOF
[Global]
Name = bench.local
Info = bench
AdminInfo1 = bench
AdminInfo2 = bench
AdminEMail = bench@localhost
Listen = 127.0.0.1
Ports = $NGIRCD_PORT
MotdPhrase = "bench"
[Limits]
MaxConnections = 0
MaxConnectionsIP = 0
MaxJoins = 0
MaxPenaltyTime = 0
PingTimeout = 600
PongTimeout = 120
[Options]
DNS = no
Ident = no
PAM = no
EOF
      ngircd --nodaemon -f "$dir/ngircd.conf" >>"$dir/server.log" 2>&1 &
      SERVER_PID=$! SERVER_PORT=$NGIRCD_PORT PROTO=irc
      ;;
    inspircd)
      echo bench >"$dir/motd.txt"
      # InspIRCd 3.x syntax. commandrate/fakelag switch off flood throttling; the send queue
      # is 32 MB; no DNS or ident lookups.
      cat >"$dir/inspircd.conf" <<EOF
<server name="bench.local" description="bench" network="bench">
<admin name="bench" nick="bench" email="bench@localhost">
<bind address="127.0.0.1" port="$INSPIRCD_PORT" type="clients">
<connect name="main" allow="*" timeout="60" pingfreq="600" threshold="1000000"
         commandrate="100000000" fakelag="no" hardsendq="33554432" softsendq="33554432"
         recvq="1048576" localmax="100000" globalmax="100000" maxconnwarn="no"
         resolvehostnames="no" useident="no" limit="100000">
<channels users="100" opers="100">
<pid file="$dir/inspircd.pid">
<performance nouserdns="yes" softlimit="20000" somaxconn="4096" clonesonconnect="no">
<options>
<security>
<files motd="$dir/motd.txt">
<log method="file" type="* -USERINPUT -USEROUTPUT" level="default" target="$dir/inspircd.log">
EOF
      inspircd --runasroot --nofork --config "$dir/inspircd.conf" >>"$dir/server.log" 2>&1 &
      SERVER_PID=$! SERVER_PORT=$INSPIRCD_PORT PROTO=irc
      ;;
  esac
}

stop_server() {
  [[ -n $SERVER_PID ]] || return 0
  kill -TERM "$SERVER_PID" 2>/dev/null || true
  local i
  for ((i = 0; i < 50; i++)); do
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$SERVER_PID" 2>/dev/null; then
    log "server $SERVER_PID ignored SIGTERM for 5 s; killing it"
    kill -KILL "$SERVER_PID" 2>/dev/null || true
  fi
  wait "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=
}

# One run: fresh server, one load generator invocation, one RESULT line.
run_one() {  # $1 server, $2 workload label, $3 run number, rest = loadgen args
  local s=$1 label=$2 run=$3
  shift 3
  start_server "$s"
  local out rc=0 limit=$((BENCH_STALL_SECONDS + BENCH_SECONDS + BENCH_ADMIT_TIMEOUT + 180))
  out=$(timeout -k 5 "$limit" "$LOADGEN" --proto "$PROTO" --port "$SERVER_PORT" \
    --pid "$SERVER_PID" "$@" 2>>"$WORK/loadgen.err") || rc=$?
  if ! kill -0 "$SERVER_PID" 2>/dev/null; then
    log "$s exited during $label run $run"
  fi
  stop_server
  local kv
  kv=$(grep '^RESULT_KV ' <<<"$out" | sed 's/^RESULT_KV //' || true)
  if [[ $rc -ne 0 || -z $kv ]]; then
    log "$s $label run $run failed (rc=$rc); see $WORK/loadgen.err"
    kv="failed=1 rc=$rc"
  fi
  local line="RESULT server=$s workload=$label run=$run $kv"
  echo "$line" >>"$WORK/results.txt"
  log "$line"
}

run_all() {
  ip link set lo up
  ulimit -n "$(ulimit -Hn)"
  # Server logs and load generator errors stay here (ignored by git) for post-mortems.
  export WORK=$BENCH_DIR/results/tmp
  rm -rf "$WORK"
  mkdir -p "$WORK"
  trap stop_server EXIT
  : >"$WORK/results.txt"
  local s w n r
  for s in $BENCH_SERVERS; do
    if [[ $s == quill && ! -x $QS_SERVER ]]; then
      echo "SKIPPED server=quill reason=not_built" >>"$WORK/results.txt"
      continue
    fi
    for w in $BENCH_WORKLOADS; do
      for ((r = 1; r <= BENCH_RUNS; r++)); do
        case $w in
          fanout)
            for n in $BENCH_FANOUT_N; do
              run_one "$s" "fanout_n$n" "$r" --workload fanout -n "$n" --duration "$BENCH_SECONDS"
            done
            ;;
          quickack)
            for n in $BENCH_FANOUT_N; do
              run_one "$s" "quickack_n$n" "$r" --workload fanout -n "$n" --quickack \
                --duration "$BENCH_SECONDS"
            done
            ;;
          stall)
            # Long enough for a backlog limit to be reached; one run, it is slow.
            ((r <= BENCH_STALL_RUNS)) || continue
            run_one "$s" stall_n100 "$r" --workload stall -n 100 --duration "$BENCH_STALL_SECONDS"
            ;;
          admit)
            run_one "$s" admit_n500 "$r" --workload admit -n 500 \
              --admit-timeout "$BENCH_ADMIT_TIMEOUT"
            ;;
          idle)
            run_one "$s" idle_n1000 "$r" --workload idle -n 1000
            ;;
          *) log "unknown workload '$w'"; exit 1 ;;
        esac
      done
    done
  done
  mkdir -p "$(dirname "$BENCH_OUT")"
  write_report "$WORK/results.txt" >"$BENCH_OUT"
  log "wrote $BENCH_OUT"
}

# Medians per (workload, server) from the RESULT lines. "none" (stalled client never dropped)
# sorts above every number, so a median of "none" means most runs never saw a drop.
write_report() {
  local results=$1
  cat <<EOF
# Quillsend Server benchmark

- date: $(date -u '+%Y-%m-%d %H:%M UTC'), host: $(uname -n), cores: $(nproc), kernel: $(uname -r)
- servers: $BENCH_SERVERS; $(ngircd --version 2>/dev/null | head -1 || true); $(inspircd --version 2>/dev/null | head -1 || true)
- runs per cell: $BENCH_RUNS (medians shown); fanout/quickack send for ${BENCH_SECONDS} s, stall for ${BENCH_STALL_SECONDS} s; admit capped at ${BENCH_ADMIT_TIMEOUT} s
- deliveries are counted at receivers, excluding the sender's own copy (only our server sends one);
  senders wait for their own echo (ours) or for receipt at observer client 0 (IRC), window 4
- see bench/README.md for the meaning of every column

EOF
  awk '
    function num(v) { return v == "none" ? 1e300 : v + 0 }
    function median(key, metric,   n, i, j, t, a) {
      n = cnt[key]
      for (i = 1; i <= n; i++) a[i] = vals[key, metric, i]
      for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && num(a[j]) > num(t); j--) a[j + 1] = a[j]; a[j + 1] = t }
      return a[int((n + 1) / 2)]
    }
    function fmt(v, d) { return (v == "" || v == "none" || v == "nan") ? (v == "" ? "-" : v) : sprintf("%." d "f", v) }
    /^SKIPPED/ { for (i = 2; i <= NF; i++) { split($i, kv, "="); sk[kv[2]] = 1 }; next }
    /^RESULT / {
      delete f
      for (i = 2; i <= NF; i++) { p = index($i, "="); f[substr($i, 1, p - 1)] = substr($i, p + 1) }
      key = f["workload"] SUBSEP f["server"]
      if (!(f["workload"] in wseen)) { wseen[f["workload"]] = 1; worder[++nw] = f["workload"] }
      if (!(f["server"] in sseen)) { sseen[f["server"]] = 1; sorder[++ns] = f["server"] }
      if ("failed" in f) { failed[key]++; next }
      c = ++cnt[key]
      for (m in f) vals[key, m, c] = f[m]
    }
    function cell(w, s,   key, fa) {
      key = w SUBSEP s
      fa = failed[key] ? sprintf(" (%d failed)", failed[key]) : ""
      if (!cnt[key]) return "failed" fa
      if (w ~ /^fanout|^quickack/)
        return sprintf("%.0f/s; p50 %s, p99 %s, max %s ms", median(key, "deliveries_per_s"),
                       fmt(median(key, "p50_ms"), 2), fmt(median(key, "p99_ms"), 2),
                       fmt(median(key, "max_ms"), 1)) fa
      if (w ~ /^stall/) {
        d = median(key, "stall_disconnect_s")
        return sprintf("p99 %s ms; stalled client dropped at %s; %.0f/s", fmt(median(key, "p99_ms"), 2),
                       d == "none" ? "never" : fmt(d, 2) " s", median(key, "deliveries_per_s")) fa
      }
      if (w ~ /^admit/) {
        return sprintf("%s s (%s ms/client, %s of %s admitted); %.2f MB received",
                       fmt(median(key, "admit_s"), 2), fmt(median(key, "admit_ms_per_client"), 2),
                       median(key, "admitted"), median(key, "clients"),
                       median(key, "bytes_total") / 1e6) fa
      }
      if (w ~ /^idle/)
        return sprintf("%s KB/client RSS; %s threads", fmt(median(key, "rss_per_client_kb"), 2),
                       median(key, "threads")) fa
      return "?"
    }
    END {
      if (nw == 0) { print "No results."; exit }
      hdr = "| workload |"; sep = "|---|"
      for (j = 1; j <= ns; j++) { hdr = hdr " " sorder[j] " |"; sep = sep "---|" }
      print hdr; print sep
      for (i = 1; i <= nw; i++) {
        row = "| " worder[i] " |"
        for (j = 1; j <= ns; j++) row = row " " cell(worder[i], sorder[j]) " |"
        print row
      }
      for (s in sk) printf "\nServer %s skipped: its binary was not found.\n", s
    }
  ' "$results"
  printf '\n## Raw results (one line per run)\n\n```\n'
  grep -E '^(RESULT|SKIPPED)' "$results" || true
  printf '```\n'
}

if [[ ${1:-} == --inside-netns ]]; then
  export PATH=$PATH:/usr/sbin
  run_all
else
  prepare
  exec unshare -n "$BASH" "$BENCH_DIR/run_bench.sh" --inside-netns
fi
