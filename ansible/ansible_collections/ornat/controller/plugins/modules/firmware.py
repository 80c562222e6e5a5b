#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 The ornat-cli developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: firmware
short_description: Upgrade a TARNEL DALI controller's firmware unless it already runs the image's version
description:
  - Runs C(ornat-cli --json --ifchanged --action push_firmware). The tool validates the firmware package or raw
    image and reads the controller's status; when the controller already runs the image's C(version_string), nothing
    is uploaded and the task reports no change.
  - Otherwise it checks that the controller is of the image's model, saves a safety backup into the Downloads folder
    of the user that runs the task, uploads and applies the image, and waits up to I(wait) seconds for the
    controller to come back running the new version.
version_added: 1.0.0
author: The ornat-cli developers
options:
  src:
    description:
      - >-
        The firmware file (C(--firmwarefile)): a package (C(.bin)) or a raw image (C(.binary)), on the host that runs
        the task.
    type: path
    required: true
  wait:
    description:
      - Seconds to wait for the controller to report the new version after the upgrade (C(--upgradewait)); C(0)
        ends the task once the controller has accepted the image.
    type: int
    default: 300
extends_documentation_fragment:
  - ornat.controller.common
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Runs the tool with C(--check); it validates the file and reads the status, and uploads nothing.
  diff_mode:
    support: full
    details: The firmware version before and after.
  platform:
    platforms: posix
'''

EXAMPLES = r'''
- name: Every controller runs 1.5.0
  ornat.controller.firmware:
    address: "{{ controller_ip }}"
    src: "{{ playbook_dir }}/firmware/tarnel-2-1.5.0.bin"
    wait: 120
  throttle: 4
'''

RETURN = r'''
image:
  description: The image's model and version, or null when the file is not valid.
  returned: when the tool ran
  type: dict
  sample: {"model_name": "TARNEL-2", "version_string": "1.5.0"}
firmware_before:
  description: The version the controller ran before.
  returned: when the tool ran
  type: str
  sample: 1.3.0
firmware_after:
  description: The version the controller reported after the upgrade, or null.
  returned: when the tool ran
  type: str
  sample: 1.5.0
uploaded:
  description: Whether the image was uploaded.
  returned: when the tool ran
  type: bool
safety_backup:
  description: The safety backup made before the upload, or null.
  returned: when the tool ran
  type: str
document:
  description: The result document of ornat-cli (C(docs/json-schema.json) of the project).
  returned: when the tool ran
  type: dict
msg:
  description: On failure, the error messages of the tool's document joined with "; ".
  returned: failure
  type: str
  sample: "Firmware is for TARNEL-2, but the controller is a TARNEL-4. Nothing was uploaded."
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ornat.controller.plugins.module_utils import ornat_cli


def main():
    module = AnsibleModule(
        argument_spec=ornat_cli.argument_spec(src=dict(type='path', required=True),
                                              wait=dict(type='int', default=300)),
        supports_check_mode=True)
    if module.params['wait'] < 0:
        module.fail_json(msg='wait must be 0 or more seconds, not %d' % module.params['wait'])
    args = ['--ifchanged', '--firmwarefile=' + os.path.abspath(module.params['src']),
            '--upgradewait=%d' % module.params['wait']]
    if module.check_mode:
        args.insert(0, '--check')
    document = ornat_cli.run_or_fail(module, ornat_cli.command(module, 'push_firmware', *args))
    result = dict(changed=bool(document.get('changed')), document=document)
    for key in ('image', 'firmware_before', 'firmware_after', 'uploaded', 'safety_backup'):
        result[key] = document.get(key)
    if module._diff and result['changed']:
        after = (result['image'] or {}).get('version_string')
        result['diff'] = dict(before_header='firmware (controller)', after_header='firmware (image)',
                              before='firmware %s\n' % result['firmware_before'], after='firmware %s\n' % after)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
