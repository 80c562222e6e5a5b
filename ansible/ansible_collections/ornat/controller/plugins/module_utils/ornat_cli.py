# -*- coding: utf-8 -*-
# Copyright: 2026 The ornat-cli developers

"""What every module of ornat.controller shares: its common options, one run
of `ornat-cli --json`, and the module result made of the tool's document.

Kept to a few modules of the standard library that AnsibleModule loads
anyway: a module's start-up time is paid once per controller, and a fleet
run is mostly start-ups."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import subprocess
import tempfile

COMMON_OPTIONS = dict(
    address=dict(type='str', required=True),
    binary=dict(type='str', default='ornat-cli'),
    tftp_blksize=dict(type='int'),
)


def argument_spec(network=True, **options):
    """The common options (without address and tftp_blksize for a module that
    talks to no controller) and a module's own."""
    spec = dict(COMMON_OPTIONS) if network else dict(binary=COMMON_OPTIONS['binary'])
    spec.update(options)
    return spec


def command(module, action, *args, **kwargs):
    """ornat-cli's command line for one action; with controller=False
    (diff_backup of two files) without --ip and --tftpblksize. Every value
    goes after "=", so that one starting with "-" is never taken for an
    option."""
    binary = os.path.expanduser(module.params['binary'])
    if os.sep not in binary:
        binary = module.get_bin_path(binary, required=True)
    argv = [binary, '--json', '--action=' + action]
    if kwargs.get('controller', True):
        if module.params.get('address') is not None:
            argv.append('--ip=' + module.params['address'])
        if module.params.get('tftp_blksize') is not None:
            argv.append('--tftpblksize=%d' % module.params['tftp_blksize'])
    argv.extend(args)
    return argv


def json_list(values):
    """A list option's value as the tool reads it (JSON)."""
    return json.dumps(list(values), separators=(',', ':'))


def run(module, argv):
    """(exit status, document or None, the end of standard error) of one run.
    The tool writes exactly one JSON document on standard output. Its
    standard error, a few lines per configuration set, goes to a temporary
    file and is read only when a failure needs it: through a pipe, each line
    would wake this process (a full backup writes about 4,000), and that
    costs more than the module itself. NO_COLOR keeps escapes out of it."""
    env = dict(os.environ, NO_COLOR='1')
    with tempfile.TemporaryFile() as stderr:
        try:
            done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr, env=env)
        except OSError as err:
            module.fail_json(msg='cannot run %s: %s' % (argv[0], err.strerror or err), cmd=argv)
        try:
            document = json.loads(done.stdout.decode('utf-8', 'replace'))
        except ValueError:
            document = None
        if not isinstance(document, dict):
            document = None
        # A signal the tool could not handle (SIGKILL) counts as the shell
        # counts it: 128 + its number.
        rc = done.returncode if done.returncode >= 0 else 128 - done.returncode
        tail = ''
        if rc != 0 or document is None:
            stderr.seek(max(0, os.fstat(stderr.fileno()).st_size - 4096))
            tail = stderr.read().decode('utf-8', 'replace')
    return rc, document, tail


def error_text(rc, document, stderr):
    """The task's msg for a run that failed: the document's error messages,
    else the exit status and the last line the tool printed (some failures
    have no red line)."""
    texts = [m.get('text', '') for m in (document or {}).get('messages', []) if m.get('level') == 'error']
    if texts:
        return '; '.join(texts)
    if rc >= 128:
        return 'ornat-cli was ended by signal %d' % (rc - 128)
    last = [line.strip() for line in (stderr or '').splitlines() if line.strip()][-1:]
    what = 'wrote no result document' if document is None else 'ended'
    return 'ornat-cli %s (exit status %d)%s' % (what, rc, ': ' + last[0] if last else '')


def warn(module, document):
    """The tool's orange lines become the task's warnings."""
    for message in (document or {}).get('messages', []):
        if message.get('level') == 'warning':
            module.warn(message.get('text', ''))


def fail(module, rc, doc, stderr, argv, key='document', **result):
    """Fails the task with the tool's error messages as msg and its document
    under `key`."""
    warn(module, doc)
    result[key] = doc
    result.setdefault('changed', bool((doc or {}).get('changed', False)))
    module.fail_json(msg=error_text(rc, doc, stderr), cmd=argv, **result)


def run_or_fail(module, argv, **result):
    """The document of a run that exited with 0; any other run fails the task."""
    rc, document, stderr = run(module, argv)
    if rc != 0 or document is None:
        fail(module, rc, document, stderr, argv, **result)
    warn(module, document)
    return document


# -- diff mode ----------------------------------------------------------------

def _value_end(text):
    """Where the value at the start of text ends: after its closing quote for a
    quoted text (with \\" and \\\\ inside), else at the next " -> "."""
    if text.startswith('"'):
        i = 1
        while i < len(text):
            if text[i] == '\\':
                i += 2
                continue
            if text[i] == '"':
                return i + 1
            i += 1
        return -1
    return text.find(' -> ')


def split_change(line):
    """(old line, new line) of a change line as diff_backup prints it
    ("    device 5 (address 5) name: "old" -> "new"", "    layout 3 -> 4"), or
    None for a line that names no old and new value ("    device 9 added")."""
    colon = line.find(': ')
    if colon >= 0:
        key, rest = line[:colon + 2], line[colon + 2:]
    else:
        arrow = line.find(' -> ')
        if arrow < 0:
            return None
        space = line.rfind(' ', 0, arrow)
        key, rest = line[:space + 1], line[space + 1:]
    end = _value_end(rest)
    if end < 0 or not rest.startswith(' -> ', end):
        return None
    return key + rest[:end], key + rest[end + 4:]


def _text(lines):
    return ''.join(line + '\n' for line in lines)


def change_diff(changes, before, after):
    """Ansible's diff (one before/after pair per configuration set) of the
    document's list of changed sets: "+" sets are only on the after side
    (called `after`, for example "backup"), "-" sets only on the before side,
    and the lines of a "~" set are split at their " -> "."""
    result = []
    for change in changes or []:
        name, lines = change.get('set', ''), change.get('lines', [])
        old, new = [], []
        if change.get('mark') == '+':
            new = [name] + lines
        elif change.get('mark') == '-':
            old = [name] + lines
        else:
            old, new = [name], [name]
            for line in lines:
                pair = split_change(line)
                if pair is not None:
                    old.append(pair[0])
                    new.append(pair[1])
                elif line.endswith(' added'):
                    new.append(line)
                elif line.endswith(' removed'):
                    old.append(line)
                else:
                    old.append(line)
                    new.append(line)
            if not lines:
                # A set compared by its bytes alone: its file differs.
                old.append('    (the file of the %s)' % before)
                new.append('    (the file of the %s)' % after)
        result.append(dict(before_header='%s (%s)' % (name, before), after_header='%s (%s)' % (name, after),
                           before=_text(old), after=_text(new)))
    return result
