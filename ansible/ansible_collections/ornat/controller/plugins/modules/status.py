#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 The ornat-cli developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: status
short_description: Read a TARNEL DALI controller's status
description:
  - Runs C(ornat-cli --json --action get_status) and returns every field of the controller's status reply.
  - Reads only; the task never reports a change.
version_added: 1.0.0
author: The ornat-cli developers
extends_documentation_fragment:
  - ornat.controller.common
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: The task makes the same read.
  diff_mode:
    support: none
  platform:
    platforms: posix
'''

EXAMPLES = r'''
- name: Read the status
  ornat.controller.status:
    address: "{{ controller_ip }}"
  register: state

- name: Every controller runs firmware 1.5.0
  ansible.builtin.assert:
    that: state.status.firmware_version == "1.5.0"
'''

RETURN = r'''
status:
  description: Every field of the controller's status reply, as text.
  returned: success
  type: dict
  sample: {"model_name": "TARNEL-2", "firmware_version": "1.3.0", "serial_number": "TN264350926"}
document:
  description:
    - The result document of ornat-cli (C(docs/json-schema.json) of the project).
    - Also returned when the task fails, when the tool wrote one.
  returned: always
  type: dict
  sample: {"schema": 1, "action": "get_status", "outcome": "ok", "exit_status": 0, "messages": []}
msg:
  description: On failure, the error messages of the tool's document joined with "; ".
  returned: failure
  type: str
  sample: "[ERROR] curl_easy_perform() failed: Couldn't connect to server"
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ornat.controller.plugins.module_utils import ornat_cli


def main():
    module = AnsibleModule(argument_spec=ornat_cli.argument_spec(), supports_check_mode=True)
    document = ornat_cli.run_or_fail(module, ornat_cli.command(module, 'get_status'))
    module.exit_json(changed=False, status=document.get('status', {}), document=document)


if __name__ == '__main__':
    main()
