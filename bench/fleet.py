#!/usr/bin/env python3
"""Ten controllers backed up in full, in one run on one machine: the
collection's backup module (ansible-playbook, forks 10) against a sequential
shell loop of ornat-cli making the same backups (--json, zip archives, one
folder per controller), and, as the floor that parallel runs can reach on
this machine, the same commands under `xargs -P10`. Prints the three times
and the ratios to the loop's time.

The playbook's ansible.cfg is the one a fleet should use: no fact gathering,
the interpreter named (no discovery run per host), pipelining (the module
goes to python's standard input: no temporary files and no extra shell runs
per host), no syslog entry per module run, and the main process checking
for finished hosts every 50 ms instead of every millisecond (which costs
about 1 s of CPU time in a run of this length). Environment variables
ANSIBLE_* given to this script override it, to measure what each setting
does.

What is left of Ansible's cost is its start-up (about 0.5 s of CPU time)
and, per controller, about 0.25 s: a python process that unpacks the
module with its module_utils and compiles them (a zip import has no
bytecode cache), mostly for AnsibleModule. On 2 cores that is about 1.5 s
of wall time on top of what the parallel backups need themselves."""

import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import benchlib

CONTROLLERS = 10
ROOT = benchlib.ROOT

ANSIBLE_CFG = """[defaults]
forks = 10
gathering = explicit
interpreter_python = /usr/bin/python3
internal_poll_interval = 0.05
no_target_syslog = True
retry_files_enabled = False
stdout_callback = default

[connection]
pipelining = True
"""

PLAYBOOK = """- hosts: controllers
  gather_facts: false
  tasks:
    - ornat.controller.backup:
        address: "{{ controller_ip }}"
        dest: "%s/{{ inventory_hostname }}/backup.zip"
"""


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, env=None):
    """(seconds, CPU seconds of its processes) of one command, which must
    succeed. The simulators run on; their CPU time is in neither."""
    cpu = cpu_seconds()
    start = time.perf_counter()
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.stdout.write(done.stdout[-3000:])
        raise SystemExit("failed (%d): %s" % (done.returncode, " ".join(map(str, command))))
    return seconds, cpu_seconds() - cpu


def folders(base, count):
    base = pathlib.Path(base)
    shutil.rmtree(base, ignore_errors=True)
    paths = [base / ("ctl%d" % i) for i in range(count)]
    for path in paths:
        path.mkdir(parents=True)
    return paths


def main():
    if not shutil.which("ansible-playbook"):
        raise SystemExit("ansible-playbook is missing: bash scripts/install-deps.sh ansible")
    load = open("/proc/loadavg").read().split()[0]
    with benchlib.launcher.Simulators() as sims, tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        ips = [sims.start(model="TARNEL-4", firmware="1.5.0", log=False).ip for _ in range(CONTROLLERS)]
        cli = str(benchlib.CLI)

        # The loop: one shell, one backup after the other.
        loop_dirs = folders(work / "loop", CONTROLLERS)
        script = "".join('"$0" --json --action get_backup --ip %s --backupfileout %s --backupfileouttype zip '
                         '>/dev/null 2>&1 || exit 1\n' % (ip, d) for ip, d in zip(ips, loop_dirs))
        loop = timed(["sh", "-c", script, cli])

        # The module: one ansible-playbook run, ten forks. Its dest folders
        # are new, as the loop's were, so each task makes one backup and
        # renames it into place.
        (work / "ansible.cfg").write_text(ANSIBLE_CFG)
        (work / "fleet.yml").write_text(PLAYBOOK % (work / "kept"))
        (work / "inventory.yml").write_text(
            "controllers:\n  vars:\n    ansible_connection: local\n  hosts:\n" +
            "".join('    ctl%d: {controller_ip: "%s"}\n' % (i, ip) for i, ip in enumerate(ips)))
        env = dict(os.environ, ANSIBLE_CONFIG=str(work / "ansible.cfg"),
                   ANSIBLE_COLLECTIONS_PATH=str(ROOT / "ansible"),
                   PATH=os.path.dirname(cli) + os.pathsep + os.environ.get("PATH", ""),
                   ANSIBLE_LOCAL_TEMP=str(work / "tmp"), ANSIBLE_REMOTE_TEMP=str(work / "tmp"))
        module = timed(["ansible-playbook", "-i", str(work / "inventory.yml"), str(work / "fleet.yml")], env)
        kept = sorted((work / "kept").glob("*/backup.zip"))
        if len(kept) != CONTROLLERS:
            raise SystemExit("the playbook kept %d backups, not %d" % (len(kept), CONTROLLERS))

        # The floor: the loop's commands, ten at a time.
        xargs_dirs = folders(work / "xargs", CONTROLLERS)
        lines = "".join("%s %s\n" % (ip, d) for ip, d in zip(ips, xargs_dirs))
        (work / "xargs.txt").write_text(lines)
        xargs = timed(["sh", "-c", 'xargs -P%d -L1 sh -c \'"$0" --json --action get_backup --ip "$1" '
                               '--backupfileout "$2" --backupfileouttype zip >/dev/null 2>&1\' "$1" <"$2"'
                               % CONTROLLERS, "sh", cli, str(work / "xargs.txt")])

    print("%d full backups, one run each, %d CPU cores, load average before: %s"
          % (CONTROLLERS, os.cpu_count(), load))
    rows = [("sequential loop of ornat-cli", loop),
            ("ornat.controller.backup, forks %d" % CONTROLLERS, module),
            ("xargs -P%d of ornat-cli" % CONTROLLERS, xargs)]
    for name, (seconds, cpu) in rows:
        ratio = "" if name.startswith("sequential") else "   ratio %.2fx" % (seconds / loop[0])
        print("%-34s %7.2f s  (CPU %5.2f s)%s" % (name, seconds, cpu, ratio))
    print("Ansible's own CPU time: about %.2f s (the module run's less xargs'); target ratio: at most 0.60x"
          % (module[1] - xargs[1]))


if __name__ == "__main__":
    sys.exit(main())
