#!/usr/bin/env bash
# A single-node Slurm cluster for tests and trials, run as root from a state
# directory of its own (nothing under /etc or /var is used or changed).
#
#   scripts/slurm_cluster.sh start DIR   # writes DIR/slurm.conf, starts munged, slurmctld, slurmd,
#                                        # waits until the node is idle
#   scripts/slurm_cluster.sh stop DIR    # stops the three daemons by the pids they wrote in DIR
#
# While it runs, point the Slurm commands at it with SLURM_CONF=DIR/slurm.conf.
# Ports: SLURM_TEST_PORT (default 16817) for slurmctld, the next one for slurmd.
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
action=$1
dir=$2

stop_pid_file() {
  local file=$1
  [ -s "$file" ] || return 0
  local pid
  pid=$(cat "$file")
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

stop_cluster() {
  stop_pid_file "$dir/slurmd.pid"
  stop_pid_file "$dir/slurmctld.pid"
  stop_pid_file "$dir/munge/munged.pid"
}

start_cluster() {
  [ "$(id -u)" -eq 0 ] || { echo "$0: the test cluster runs as root" >&2; exit 1; }
  for program in munged slurmctld slurmd sinfo; do
    command -v "$program" >/dev/null || { echo "$0: $program not found (scripts/install_packages.sh)" >&2; exit 1; }
  done
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  mkdir -p "$dir/munge" "$dir/ctld" "$dir/spool"
  chmod 700 "$dir/munge"
  [ -s "$dir/munge/munge.key" ] || { head -c 1024 /dev/urandom >"$dir/munge/munge.key"; chmod 400 "$dir/munge/munge.key"; }

  local host port
  host=$(hostname -s)
  port=${SLURM_TEST_PORT:-16817}
  cat >"$dir/slurm.conf" <<EOF
ClusterName=tavotest
SlurmctldHost=$host
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
MpiDefault=none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
ReturnToService=2
StateSaveLocation=$dir/ctld
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
MaxArraySize=100001
NodeName=$host CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
  export SLURM_CONF=$dir/slurm.conf

  munged --force --socket="$dir/munge/munge.socket" --key-file="$dir/munge/munge.key" \
    --pid-file="$dir/munge/munged.pid" --log-file="$dir/munge/munged.log" --seed-file="$dir/munge/munged.seed"
  slurmctld -f "$dir/slurm.conf" -i
  slurmd -f "$dir/slurm.conf"

  for _ in $(seq 300); do
    if [ "$(sinfo -h -N -o '%t' 2>/dev/null | head -n 1)" = "idle" ]; then
      echo "Slurm test cluster up: SLURM_CONF=$dir/slurm.conf"
      return 0
    fi
    sleep 0.2
  done
  echo "$0: the node did not become idle within 60 s; logs in $dir" >&2
  stop_cluster
  exit 1
}

case "$action" in
  start) start_cluster ;;
  stop) stop_cluster ;;
  *) usage ;;
esac
