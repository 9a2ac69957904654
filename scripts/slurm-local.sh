#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A single-node SLURM cluster on this machine (controller, compute daemon and munge for
# authentication), for the test of dataset runs submitted with "mindaro bids --slurm".
#   scripts/slurm-local.sh start   install what is missing (install-deps.sh slurm), write
#                                  /etc/slurm/slurm.conf, start munged, slurmctld and
#                                  slurmd, and wait until the node takes jobs
#   scripts/slurm-local.sh stop    stop the daemons that start started
# Runs as root. A slurm.conf that this script did not write is never replaced.
set -euo pipefail
cd "$(dirname "$0")/.."

state=/var/lib/varno-slurm
run=/run/varno-slurm
conf=/etc/slurm/slurm.conf
marker="# Written by scripts/slurm-local.sh of VARNO"

pid_alive() {  # pid file
  [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null
}

write_conf() {
  local host cpus
  host=$(hostname -s)
  cpus=$(nproc)
  if [ -f "$conf" ] && ! grep -qF "$marker" "$conf"; then
    echo "slurm-local.sh: $conf exists and was not written by this script; leaving it alone" >&2
    exit 1
  fi
  mkdir -p /etc/slurm "$state/ctld" "$state/d" "$run"
  cat >"$conf" <<CONF
$marker: a single-node cluster for the tests.
ClusterName=varno
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/d
SlurmctldPidFile=$run/slurmctld.pid
SlurmdPidFile=$run/slurmd.pid
SlurmctldLogFile=$state/slurmctld.log
SlurmdLogFile=$state/slurmd.log
SlurmctldPort=6817
SlurmdPort=6818
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
SlurmdTimeout=60
InactiveLimit=0
KillWait=5
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
}

start() {
  bash scripts/install-deps.sh slurm
  write_conf
  # munge: a key of its own when the package left none, the daemon as its user.
  if [ ! -s /etc/munge/munge.key ]; then
    mungekey --create --force
    chown munge:munge /etc/munge/munge.key
    chmod 400 /etc/munge/munge.key
  fi
  mkdir -p /run/munge
  chown munge:munge /run/munge
  if ! pid_alive /run/munge/munged.pid; then
    runuser -u munge -- /usr/sbin/munged
    touch "$run/munged.started"
  fi
  pid_alive "$run/slurmctld.pid" || slurmctld
  pid_alive "$run/slurmd.pid" || slurmd
  for _ in $(seq 1 60); do
    if sinfo -h -o %T 2>/dev/null | grep -qE '^(idle|mixed|allocated)'; then
      scontrol update nodename="$(hostname -s)" state=resume >/dev/null 2>&1 || true
      echo "SLURM is running: $(sinfo -h -o '%P %D %T %c' | head -1) (partition, nodes, state, cpus)"
      return 0
    fi
    # A node left down by an earlier run comes back.
    scontrol update nodename="$(hostname -s)" state=resume >/dev/null 2>&1 || true
    sleep 1
  done
  echo "slurm-local.sh: the node did not become idle; see $state/slurmctld.log and $state/slurmd.log" >&2
  sinfo >&2 || true
  exit 1
}

stop() {
  for daemon in slurmd slurmctld; do
    if pid_alive "$run/$daemon.pid"; then
      kill "$(cat "$run/$daemon.pid")"
    fi
  done
  # munged only when this script started it; another may serve the machine.
  if [ -f "$run/munged.started" ] && pid_alive /run/munge/munged.pid; then
    kill "$(cat /run/munge/munged.pid)"
  fi
  rm -f "$run/munged.started"
  echo "SLURM stopped"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: scripts/slurm-local.sh start|stop" >&2; exit 2 ;;
esac
