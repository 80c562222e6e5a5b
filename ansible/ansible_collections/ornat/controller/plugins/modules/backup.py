#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 The ornat-cli developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: backup
short_description: Keep a TARNEL DALI controller's backup archive up to date
description:
  - Makes a fresh backup of the controller (C(ornat-cli --json --action get_backup), a zip archive) and compares its
    configuration sets with those of the archive at I(dest) (C(--action diff_backup)).
  - When I(dest) does not exist, or its sets differ from the fresh backup's, the fresh archive replaces it and the
    task reports a change. When they are the same, I(dest) stays as it is and the fresh archive is removed.
  - Only the configuration sets are compared, by their files' bytes; C(tool.txt), C(log.txt) and C(flashfs.bin)
    are left out, so a backup whose flash image alone differs does not replace I(dest).
  - When the controller has a damaged set (or its flash image cannot be read), the task fails with the tool's
    messages; I(dest) stays as it is and the fresh archive, with everything that could be stored, is left beside it
    under the tool's name (C(backup_<address>_TARNEL_<date>_<time>.zip)), returned as I(kept).
version_added: 1.0.0
author: The ornat-cli developers
options:
  dest:
    description:
      - >-
        The archive to keep, for example C(backups/{{ inventory_hostname }}.zip). A relative path is taken from the
        working folder of the task, which for C(connection: local) is the folder ansible-playbook runs in.
      - Its folder is created when missing. The fresh backup is written in a temporary folder beside it and renamed
        into place, so an interrupted run never leaves a half-written I(dest).
    type: path
    required: true
  sets:
    description:
      - The configuration sets to back up (C(--backupconfig)), for example C([systemconfig, dali1, rlc]).
        Without it, all 603 sets (a set the controller does not have is left out).
    type: list
    elements: str
extends_documentation_fragment:
  - ornat.controller.common
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: The fresh backup is made in a temporary folder, compared with I(dest) and removed; I(dest) is never
      replaced.
  diff_mode:
    support: full
    details: One before/after pair per configuration set that differs, with the changed channel entries and fields.
  platform:
    platforms: posix
'''

EXAMPLES = r'''
- name: Back up every controller next to the playbook
  ornat.controller.backup:
    address: "{{ controller_ip }}"
    dest: "{{ playbook_dir }}/backups/{{ inventory_hostname }}.zip"

- name: Keep only the system settings and the first channel
  ornat.controller.backup:
    address: "{{ controller_ip }}"
    dest: "backups/{{ inventory_hostname }}-dali1.zip"
    sets: [systemconfig, dali1]
'''

RETURN = r'''
dest:
  description: The archive kept, as an absolute path.
  returned: always
  type: str
  sample: /srv/backups/hall-east.zip
sets:
  description: The sets of the fresh backup (the document's C(sets)).
  returned: when the tool ran
  type: dict
  sample: {"stored": ["dali1", "rlc"], "damaged": [], "absent": 0}
changes:
  description:
    - The configuration sets that differ between I(dest) and the fresh backup, as C(diff_backup) lists them; C(+)
      only in the fresh backup, C(-) only in I(dest), C(~) changed. Empty when I(dest) did not exist.
  returned: success
  type: list
  elements: dict
  sample: [{"mark": "~", "set": "dali1", "lines": ["    device 5 (address 5) name: \"Hall East\" -> \"Lobby\""]}]
kept:
  description: On failure, the fresh (incomplete) archive left beside I(dest), or null.
  returned: failure
  type: str
  sample: /srv/backups/backup_10.0.4.21_TARNEL_20260315_101500.zip
document:
  description:
    - The result document of the backup run (C(ornat-cli --json), C(docs/json-schema.json) of the project).
      Its C(archive) names the temporary file that has become I(dest), or been removed.
    - A full backup's document is about 46 KB, most of it one C(info) message per set the controller does not
      have.
  returned: when the tool ran
  type: dict
comparison:
  description: The result document of the comparison with I(dest) (C(diff_backup)), or null when there was none.
  returned: when the tool ran
  type: dict
msg:
  description: On failure, the error messages of the tool's document joined with "; ".
  returned: failure
  type: str
  sample: "Error, status.txt file not found.; Set rlc could not be backed up."
'''

import os
import shutil
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ornat.controller.plugins.module_utils import ornat_cli


def keep_beside(path, folder):
    """Moves a fresh archive into folder under its own name (with _2, _3, ...
    when that is taken); returns where it went."""
    stem, ext = os.path.splitext(os.path.basename(path))
    target, n = os.path.join(folder, stem + ext), 1
    while os.path.exists(target):
        n += 1
        target = os.path.join(folder, '%s_%d%s' % (stem, n, ext))
    os.rename(path, target)
    return target


def listing(document):
    """The diff of a first backup: its sets, on the after side alone."""
    stored = (document.get('sets') or {}).get('stored', [])
    return [dict(before_header='(no archive)', after_header='backup', before='',
                 after=''.join(name + '\n' for name in stored))]


def main():
    module = AnsibleModule(
        argument_spec=ornat_cli.argument_spec(dest=dict(type='path', required=True),
                                              sets=dict(type='list', elements='str')),
        supports_check_mode=True)
    dest = os.path.abspath(module.params['dest'])
    folder = os.path.dirname(dest)
    result = dict(changed=False, dest=dest, document=None, comparison=None)
    if os.path.isdir(dest):
        module.fail_json(msg='dest is a folder: %s' % dest, **result)

    # The fresh archive goes beside dest so that renaming it into place is
    # atomic; in check mode, and while dest's folder is missing, into the
    # temporary folder (check mode creates nothing beside dest).
    if not module.check_mode and not os.path.isdir(folder):
        try:
            os.makedirs(folder)
        except OSError as err:
            module.fail_json(msg='cannot create %s: %s' % (folder, err), **result)
    work_parent = folder if not module.check_mode else None
    work = tempfile.mkdtemp(prefix='.%s.' % os.path.basename(dest), dir=work_parent)
    try:
        args = ['--backupfileout=' + work, '--backupfileouttype=zip']
        if module.params['sets'] is not None:
            args.append('--backupconfig=' + ornat_cli.json_list(module.params['sets']))
        argv = ornat_cli.command(module, 'get_backup', *args)
        rc, document, stderr = ornat_cli.run(module, argv)
        result['document'] = document
        fresh = (document or {}).get('archive')
        if document is not None:
            result['sets'] = document.get('sets')
        if rc != 0 or document is None or not fresh:
            if fresh and os.path.isfile(fresh) and not module.check_mode:
                result['kept'] = keep_beside(fresh, folder)
            else:
                result['kept'] = None
            ornat_cli.fail(module, rc, document, stderr, argv, **result)
        ornat_cli.warn(module, document)

        if not os.path.exists(dest):
            result.update(changed=True, changes=[])
            if module._diff:
                result['diff'] = listing(document)
        else:
            compare = ornat_cli.command(module, 'diff_backup', '--backupfilein=' + dest, '--comparewith=' + fresh,
                                        controller=False)
            rc, comparison, stderr = ornat_cli.run(module, compare)
            result['comparison'] = comparison
            if rc not in (0, 1) or comparison is None:
                # dest cannot be read as a backup: it is not replaced.
                result['kept'] = None if module.check_mode else keep_beside(fresh, folder)
                ornat_cli.fail(module, rc, comparison, stderr, compare, key='comparison', **result)
            result['changes'] = comparison.get('diff', [])
            result['changed'] = rc == 1
            if module._diff and rc == 1:
                result['diff'] = ornat_cli.change_diff(result['changes'], 'archive kept', 'fresh backup')
        if result['changed'] and not module.check_mode:
            os.rename(fresh, dest)
    except OSError as err:
        module.fail_json(msg='%s: %s' % (getattr(err, 'filename', None) or dest, err.strerror or err), **result)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
