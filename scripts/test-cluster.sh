#!/usr/bin/env bash
# make test-cluster: a sharded run on a one-node Slurm cluster started here,
# and the same with GNU parallel, checked against a single run: every file
# converted exactly once, the pictures byte-identical, the merged reports
# equal apart from elapsed_ms.
#
# Needs root (it starts munged, slurmctld and slurmd directly, no systemd)
# and skips with exit 0 otherwise. Everything it starts lives in a temporary
# folder and is stopped by process id when the script ends.
#   scripts/test-cluster.sh [BUILD_DIR]
# TOLVEK_CLUSTER_STANDIN=1 runs a stand-in job that only records its
# SLURM_ARRAY_TASK_* variables (chosen by itself while the program has no
# --shard option).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
tolvek=$build/tolvek
tasks=4
files=40

say() { echo "test-cluster: $*"; }
if [ "$(id -u)" -ne 0 ]; then
  say "skipped: it starts munged, slurmctld and slurmd and must run as root"
  exit 0
fi
bash "$root/scripts/install-deps.sh" cluster

tmp=$(mktemp -d /tmp/tolvek-cluster.XXXXXX)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$status" -ne 0 ] && [ -d "$tmp/log" ]; then
    for log in "$tmp"/log/*; do echo "--- $log"; tail -n 20 "$log"; done
  fi
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT
mkdir -p "$tmp"/{log,state,spool,munge,run,out}

# ---- the one place the program is run -------------------------------------
# tolvek_command SHARD REPORT TREE: the command line of one shard's run.
tolvek_command() { printf '%q --shard %s --report %q %q' "$tolvek" "$1" "$2" "$3"; }
single_command() { printf '%q ' "$tolvek" --report "$1" "$2"; }

standin=${TOLVEK_CLUSTER_STANDIN:-}
if [ -z "$standin" ]; then
  mkdir -p "$tmp/probe"
  if "$tolvek" --shard 0/1 --report "$tmp/probe.jsonl" "$tmp/probe" >/dev/null 2>&1 && [ -f "$tmp/probe.jsonl" ]; then
    standin=0
  else
    standin=1
    say "the program has no --shard/--report yet: checking the cluster with a stand-in job"
  fi
fi

# ---- munge and slurm -------------------------------------------------------
# Daemons of our own on ports and a socket of our own, so a cluster already on
# this machine is left alone; loopback addresses, so the host name need not
# resolve (fresh containers in CI).
port=$((20000 + $$ % 20000))
host=$(hostname -s)
dd if=/dev/urandom of="$tmp/munge/munge.key" bs=1024 count=1 status=none
chmod 700 "$tmp/munge"
chmod 400 "$tmp/munge/munge.key"
munged --force --key-file="$tmp/munge/munge.key" --socket="$tmp/munge/munge.socket" \
  --pid-file="$tmp/munge/munged.pid" --log-file="$tmp/log/munged.log" --seed-file="$tmp/munge/seed"
pids+=("$(cat "$tmp/munge/munged.pid")")

cat >"$tmp/slurm.conf" <<CONF
ClusterName=tolvektest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
AuthInfo=socket=$tmp/munge/munge.socket
CredType=cred/munge
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/run/slurmctld.pid
SlurmdPidFile=$tmp/run/slurmd.pid
SlurmctldLogFile=$tmp/log/slurmctld.log
SlurmdLogFile=$tmp/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
MailProg=/bin/true
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$tmp/slurm.conf
slurmctld -D -i >"$tmp/log/slurmctld.out" 2>&1 &
pids+=("$!")
slurmd -D >"$tmp/log/slurmd.out" 2>&1 &
pids+=("$!")

for ((i = 0; i < 60; i++)); do
  state=$(sinfo -h -N -o %t 2>/dev/null | head -n 1 || true)
  [ "$state" = idle ] && break
  sleep 1
done
[ "$state" = idle ] || { say "the node did not become idle (state: ${state:-none})"; exit 1; }
say "node $host idle"

# ---- the tree and the single run ------------------------------------------
tree=$tmp/tree
for ((i = 0; i < files; i++)); do
  dir=$tree/set$((i % 5))/disc$((i % 3))
  mkdir -p "$dir"
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "sine=f=$((200 + 37 * i)):r=22050:d=0.4" -ac 1 "$dir/track $i.wav"
done
pictures() { (cd "$tree" && find . -type f ! -name '*.wav' | sort); }
# The records of the WAV files, elapsed_ms blanked, sorted. Pictures other
# shards have just written may or may not be walked (as not-audio), so only
# the sources count.
strip_elapsed() { grep -h '^{"source":"[^"]*\.wav"' "$@" | sed -E 's/"elapsed_ms":[^,}]*/"elapsed_ms":null/' | sort; }

if [ "$standin" = 0 ]; then
  eval "$(single_command "$tmp/out/single.jsonl" "$tree")" >/dev/null
  mkdir -p "$tmp/single"
  (cd "$tree" && find . -type f ! -name '*.wav' -print0 | cpio -0pdm --quiet "$tmp/single")
  (cd "$tree" && find . -type f ! -name '*.wav' -delete)
fi

# ---- checks ---------------------------------------------------------------
check_run() {  # what
  if [ "$standin" = 1 ]; then
    # Each task saw its own index of a 4-task array exactly once.
    local got
    got=$(cat "$tmp"/out/report-*.jsonl | sort | tr '\n' ' ')
    [ "$got" = "0/4 1/4 2/4 3/4 " ] || { say "$1: the tasks saw '$got'"; exit 1; }
    say "$1: stand-in tasks saw their indices 0..3 of 4"
    return
  fi
  local merged=$tmp/out/merged.jsonl
  strip_elapsed "$tmp"/out/report-*.jsonl >"$merged"
  local dup
  dup=$(grep -o '"source":"[^"]*"' "$merged" | sort | uniq -d)
  [ -z "$dup" ] || { say "$1: converted more than once: $dup"; exit 1; }
  [ "$(wc -l <"$merged")" -eq "$files" ] || { say "$1: $(wc -l <"$merged") records for $files files"; exit 1; }
  diff <(strip_elapsed "$tmp/out/single.jsonl") "$merged" ||
    { say "$1: the merged reports differ from the single run's"; exit 1; }
  diff <(cd "$tmp/single" && find . -type f | sort) <(pictures) || { say "$1: other pictures"; exit 1; }
  while IFS= read -r p; do
    cmp -s "$tmp/single/$p" "$tree/$p" || { say "$1: $p differs from the single run's"; exit 1; }
  done < <(pictures)
  say "$1: $files files converted once each, pictures and reports as a single run's"
  (cd "$tree" && find . -type f ! -name '*.wav' -delete)
}

# A stand-in shard: writes what the array told it, where the report would go.
standin_command() {  # SHARD REPORT
  if [ "$1" = slurm ]; then
    # shellcheck disable=SC2016
    printf 'echo "$(( (SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN) / ${SLURM_ARRAY_TASK_STEP:-1} ))/$SLURM_ARRAY_TASK_COUNT" > %s' \
      "${2//%a/\$SLURM_ARRAY_TASK_ID}"
  else
    printf 'echo %s > %s' "$1" "${2//%a/${1%/*}}"
  fi
}
shard_command() {  # SHARD REPORT
  if [ "$standin" = 1 ]; then standin_command "$1" "$2"; else tolvek_command "$1" "$2" "$tree"; fi
}

# ---- Slurm array ----------------------------------------------------------
cat >"$tmp/job.sh" <<JOB
#!/usr/bin/env bash
set -euo pipefail
$(shard_command slurm "$tmp/out/report-%a.jsonl")
JOB
sbatch --wait --quiet --array=0-$((tasks - 1)) --output="$tmp/log/job-%a.out" "$tmp/job.sh"
check_run "slurm array"
rm -f "$tmp"/out/report-*.jsonl

# ---- GNU parallel ---------------------------------------------------------
for ((k = 0; k < tasks; k++)); do echo "$k"; done |
  parallel --will-cite --halt now,fail=1 "$(shard_command "{}/$tasks" "$tmp/out/report-%a.jsonl")"
check_run "GNU parallel"
say "passed"
