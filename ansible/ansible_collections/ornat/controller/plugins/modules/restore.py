#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 The ornat-cli developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: restore
short_description: Restore a backup archive onto a TARNEL DALI controller where it differs
description:
  - >-
    Runs C(ornat-cli --json --ifchanged --action put_backup): the controller's sets are compared with the backup's,
    and only the sets that differ are converted to the controller's layout and restored. When every set is already
    as the backup holds it, nothing is sent and the task reports no change.
  - Before it sends anything the tool saves a safety backup of the controller into the Downloads folder of the user
    that runs the task (C($HOME/Downloads), or C(XDG_DOWNLOAD_DIR)), returned as I(safety_backup).
  - The tool holds a lock per controller address while it restores, so tasks of several plays on one controller
    wait for each other.
version_added: 1.0.0
author: The ornat-cli developers
options:
  src:
    description:
      - The backup to restore (C(--backupfilein)), a zip archive, a backup folder or a single set's tar file, on the
        host that runs the task.
    type: path
    required: true
extends_documentation_fragment:
  - ornat.controller.common
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Runs the tool with C(--check); it reads and compares, sends nothing and makes no safety backup.
  diff_mode:
    support: full
    details: One before (controller) and after (backup) pair per configuration set that differs, with the changed
      channel entries and fields.
  platform:
    platforms: posix
'''

EXAMPLES = r'''
- name: Put the kept configuration back where it drifted
  ornat.controller.restore:
    address: "{{ controller_ip }}"
    src: "{{ playbook_dir }}/backups/{{ inventory_hostname }}.zip"
  register: restored

- name: Show what was restored
  ansible.builtin.debug:
    var: restored.sets.restored
'''

RETURN = r'''
sets:
  description: The sets restored, the sets already as the backup holds them, and the sets that failed.
  returned: when the tool ran
  type: dict
  sample: {"restored": ["dali1"], "unchanged": ["rlc", "systemconfig"], "failed": []}
changes:
  description: The sets that differ, as the tool lists them (C(+) only in the backup, C(-) only on the controller,
    C(~) changed, with indented lines naming the changed channel entries and fields).
  returned: when the tool ran
  type: list
  elements: dict
  sample: [{"mark": "~", "set": "dali1", "lines": ["    device 5 (address 5) name: \"Hall East\" -> \"Lobby\""]}]
safety_backup:
  description: The safety backup made before the restore, or null.
  returned: when the tool ran
  type: str
  sample: /home/tech/Downloads/backup_10.0.4.21_TARNEL_20260315_101500.zip
document:
  description: The result document of ornat-cli (C(docs/json-schema.json) of the project).
  returned: when the tool ran
  type: dict
msg:
  description: On failure, the error messages of the tool's document joined with "; ".
  returned: failure
  type: str
  sample: "Set rlc was not restored."
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ornat.controller.plugins.module_utils import ornat_cli


def main():
    module = AnsibleModule(argument_spec=ornat_cli.argument_spec(src=dict(type='path', required=True)),
                           supports_check_mode=True)
    args = ['--ifchanged', '--backupfilein=' + os.path.abspath(module.params['src'])]
    if module.check_mode:
        args.insert(0, '--check')
    document = ornat_cli.run_or_fail(module, ornat_cli.command(module, 'put_backup', *args))
    result = dict(changed=bool(document.get('changed')), sets=document.get('sets'),
                  changes=document.get('diff', []), safety_backup=document.get('safety_backup'),
                  document=document)
    if module._diff and result['changes']:
        result['diff'] = ornat_cli.change_diff(result['changes'], 'controller', 'backup')
    module.exit_json(**result)


if __name__ == '__main__':
    main()
