#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 The ornat-cli developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: verify
short_description: Check a TARNEL controller backup without any network
description:
  - Runs C(ornat-cli --json --action verify_backup). It checks that C(tool.txt) passes the restore's version gate,
    that every member is known, that every set's tar reads to its end and holds the set's file and C(status.txt),
    that every channel file and channel inputs file has a known layout, its layout's size and a valid CRC, and that
    C(flashfs.bin) has its size.
  - The task fails when a problem is found, with the problems as I(problems) and in I(msg).
  - Talks to no controller, so it has no C(address).
version_added: 1.0.0
author: The ornat-cli developers
options:
  src:
    description: The backup to check (C(--backupfilein)), a zip archive, a backup folder or a single set's tar file.
    type: path
    required: true
extends_documentation_fragment:
  - ornat.controller.common.BINARY
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: The task reads the same file.
  diff_mode:
    support: none
  platform:
    platforms: posix
'''

EXAMPLES = r'''
- name: Back up, then check the archive kept
  ornat.controller.verify:
    src: "{{ playbook_dir }}/backups/{{ inventory_hostname }}.zip"
'''

RETURN = r'''
sets_checked:
  description: How many configuration sets were checked.
  returned: when the tool ran
  type: int
  sample: 32
problems:
  description: One entry per problem, naming the member of the backup.
  returned: when the tool ran
  type: list
  elements: dict
  sample: [{"member": "dali1.tar", "text": "/etc/config/dali/dali1.bin: CRC 0x0000272F, computed 0xAB35"}]
document:
  description: The result document of ornat-cli (C(docs/json-schema.json) of the project).
  returned: when the tool ran
  type: dict
msg:
  description: On failure, the error messages of the tool's document (its problems and their count) joined with
    "; ".
  returned: failure
  type: str
  sample: "dali1.tar: /etc/config/dali/dali1.bin: CRC 0x0000272F, computed 0xAB35; 2 configuration sets checked, 1 problems."
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ornat.controller.plugins.module_utils import ornat_cli


def main():
    module = AnsibleModule(argument_spec=ornat_cli.argument_spec(network=False, src=dict(type='path', required=True)),
                           supports_check_mode=True)
    argv = ornat_cli.command(module, 'verify_backup', '--backupfilein=' + os.path.abspath(module.params['src']))
    rc, document, stderr = ornat_cli.run(module, argv)
    found = dict(sets_checked=(document or {}).get('sets_checked'), problems=(document or {}).get('problems', []))
    if rc != 0 or document is None:
        ornat_cli.fail(module, rc, document, stderr, argv, **found)
    module.exit_json(changed=False, document=document, **found)


if __name__ == '__main__':
    main()
