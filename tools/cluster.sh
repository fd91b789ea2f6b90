#!/usr/bin/env bash
# A local relay cluster: three nats-servers (JetStream, clustered) and three arbelon-relay
# nodes A, B, C, each on a loopback address of its own, with the standard ports; each node
# has a NATS user of its own that may publish only as itself. Prints where
# to connect and runs until Ctrl-C, which stops everything it started. Logs and NATS data go
# to a temporary folder, removed at the end unless KEEP_LOGS=1.
#
# Environment: RELAY (default build/bin/arbelon-relay), NATS_SERVER (default nats-server),
# NET (default 127.0.77: the nodes get NET.1-3, the NATS servers NET.11-13), DELAY (the
# relays' --delay, default 0).
set -euo pipefail
cd "$(dirname "$0")/.."

RELAY=${RELAY:-build/bin/arbelon-relay}
NATS_SERVER=${NATS_SERVER:-nats-server}
NET=${NET:-127.0.77}
DELAY=${DELAY:-0}

die() { printf 'cluster: %s\n' "$*" >&2; exit 1; }
[ -x "$RELAY" ] || die "no relay at $RELAY (build it: cmake --build build --target arbelon-relay, or set RELAY)"
command -v "$NATS_SERVER" >/dev/null || die "no $NATS_SERVER (apt-get install nats-server)"

DIR=$(mktemp -d -t arbelon-cluster.XXXXXX)
PIDS=()
stop() {
  trap - INT TERM EXIT
  printf '\ncluster: stopping\n'
  # The relays first, so that they leave the cluster while NATS is still there.
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill -TERM "${PIDS[$i]}" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "${KEEP_LOGS:-0}" = 1 ]; then printf 'cluster: logs kept in %s\n' "$DIR"; else rm -rf "$DIR"; fi
}
trap 'stop; exit 0' INT TERM
trap stop EXIT

# Whether a nats-server's monitoring port answers its health check (no curl needed).
healthy() {
  local answer
  answer=$(timeout 2 bash -c "exec 3<>/dev/tcp/$1/8222 && printf 'GET /healthz HTTP/1.0\r\n\r\n' >&3 && head -1 <&3" 2>/dev/null) || return 1
  [[ $answer == *" 200"* ]]
}

# ---- NATS ------------------------------------------------------------------------------
# One user per node, allowed to publish only as itself (docs/RELAY.md, "Who may say what").
NODES=(A B C)
PEERS=$(IFS=,; echo "${NODES[*]}")
"$RELAY" --write-nats-users "$DIR" --cluster-peers "$PEERS" >/dev/null || die "cannot write the NATS users"
NATS_URLS=()
for n in 1 2 3; do
  routes=()
  for m in 1 2 3; do [ "$m" = "$n" ] || routes+=("nats-route://$NET.1$m:6222"); done
  cat > "$DIR/nats-$n.conf" <<EOF
server_name: nats-$n
listen: "$NET.1$n:4222"
http: "$NET.1$n:8222"
max_payload: 8MB
jetstream { store_dir: "$DIR/nats-$n" }
include "nats-users.conf"
cluster { name: arbelon_local, listen: "$NET.1$n:6222", routes: [$(IFS=,; echo "${routes[*]}")] }
EOF
  "$NATS_SERVER" -c "$DIR/nats-$n.conf" > "$DIR/nats-$n.log" 2>&1 &
  PIDS+=($!)
  NATS_URLS+=("nats://$NET.1$n:4222")
done
for n in 1 2 3; do
  for _ in $(seq 1 150); do
    healthy "$NET.1$n" && break
    kill -0 "${PIDS[$((n - 1))]}" 2>/dev/null || die "nats-server $n ended: $(tail -5 "$DIR/nats-$n.log")"
    sleep 0.2
  done
  healthy "$NET.1$n" || die "nats-server $n not ready: $(tail -5 "$DIR/nats-$n.log")"
done
CLUSTER=$(IFS=,; echo "${NATS_URLS[*]}")

# ---- relay nodes -------------------------------------------------------------------------
for i in 0 1 2; do
  "$RELAY" --listen "$NET.$((i + 1))" --delay "$DELAY" --cluster "$CLUSTER" --node-name "${NODES[$i]}" \
    --cluster-peers "$PEERS" --cluster-user-file "$DIR/${NODES[$i]}.user" \
    > "$DIR/relay-${NODES[$i]}.log" 2>&1 &
  PIDS+=($!)
done
for i in 0 1 2; do
  log=$DIR/relay-${NODES[$i]}.log
  for _ in $(seq 1 150); do
    grep -q 'joined with slot' "$log" && break
    kill -0 "${PIDS[$((i + 3))]}" 2>/dev/null || die "relay ${NODES[$i]} ended: $(tail -5 "$log")"
    sleep 0.2
  done
  grep -q 'joined with slot' "$log" || die "relay ${NODES[$i]} did not join: $(tail -5 "$log")"
done

printf 'cluster: three NATS servers: %s (monitoring on port 8222 of each)\n' "$CLUSTER"
for i in 0 1 2; do
  log=$DIR/relay-${NODES[$i]}.log
  ports=$(grep -o 'viewer=[0-9]* filmer=[0-9]*' "$log" | head -1)
  web=$(grep -o 'web http=[0-9]*' "$log" | head -1 | cut -d= -f2)
  printf 'cluster: node %s on %s: %s, web page http://%s:%s/\n' "${NODES[$i]}" "$NET.$((i + 1))" "$ports" \
    "$NET.$((i + 1))" "$web"
done
printf 'cluster: film to any node, watch from any node; logs in %s; Ctrl-C stops everything\n' "$DIR"

# Runs until Ctrl-C, or until one of them ends on its own.
wait -n "${PIDS[@]}" || true
KEEP_LOGS=1
die "a process ended on its own; see $DIR"
