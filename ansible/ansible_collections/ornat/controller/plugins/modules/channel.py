#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 The ornat-cli developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: channel
short_description: Set up a DALI channel of a TARNEL controller from a CSV file
description:
  - >-
    Runs C(ornat-cli --json --ifchanged --action setup_channel) with one CSV file: the channel's devices, its groups
    or its input devices. The tool fetches the channel's file from the controller, imports the CSV file into it and
    pushes it back only when the result differs from what the controller holds.
  - >-
    CSV files start with their version line (C(#dali-channel-csv-version: 1),
    C(#dali-channel-groups-csv-version: 1) or C(#dali-channel-inputs-csv-version: 1)); the tool's
    C(export_channel) action writes them from a controller or a backup.
  - The tool holds a lock per controller address while it pushes.
version_added: 1.0.0
author: The ornat-cli developers
options:
  channel:
    description: The DALI channel, 1 to the number of channels of the model.
    type: int
    required: true
  devices_csv:
    description: CSV file of the channel's devices (C(--channelcsvfile)).
    type: path
  groups_csv:
    description: CSV file of the channel's groups (C(--channelgroupscsvfile)).
    type: path
  inputs_csv:
    description: CSV file of the channel's input devices (C(--channelinputscsvfile)).
    type: path
extends_documentation_fragment:
  - ornat.controller.common
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Runs the tool with C(--check); it fetches, imports and compares, and pushes nothing.
  diff_mode:
    support: full
    details: Before (controller) and after (CSV file) of each changed entry and field of the channel's file.
  platform:
    platforms: posix
notes:
  - Exactly one of I(devices_csv), I(groups_csv) and I(inputs_csv) is given; set up devices and groups of a channel
    with two tasks.
'''

EXAMPLES = r'''
- name: Devices of channel 1
  ornat.controller.channel:
    address: "{{ controller_ip }}"
    channel: 1
    devices_csv: "{{ playbook_dir }}/channels/{{ inventory_hostname }}/channel1.csv"

- name: Groups of channel 1
  ornat.controller.channel:
    address: "{{ controller_ip }}"
    channel: 1
    groups_csv: "{{ playbook_dir }}/channels/{{ inventory_hostname }}/channel1_groups.csv"
'''

RETURN = r'''
channels:
  description: One entry per channel set up; C(diff) lists the configuration set that differs with one line per
    changed entry and field.
  returned: when the tool ran
  type: list
  elements: dict
  sample: [{"channel": 1, "changed": true, "pushed": true,
            "diff": [{"mark": "~", "set": "dali1", "lines": ["    device 5 (address 5) name: \"C1 Luminaire 06\" -> \"Hall East\""]}]}]
document:
  description: The result document of ornat-cli (C(docs/json-schema.json) of the project).
  returned: when the tool ran
  type: dict
msg:
  description: On failure, the error messages of the tool's document joined with "; ".
  returned: failure
  type: str
  sample: "No data row read from CSV file /srv/channels/ch1.csv"
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ornat.controller.plugins.module_utils import ornat_cli

CSV_OPTIONS = (('devices_csv', '--channelcsvfile='), ('groups_csv', '--channelgroupscsvfile='),
               ('inputs_csv', '--channelinputscsvfile='))


def main():
    names = [name for name, _ in CSV_OPTIONS]
    module = AnsibleModule(
        argument_spec=ornat_cli.argument_spec(channel=dict(type='int', required=True),
                                              **dict((name, dict(type='path')) for name in names)),
        mutually_exclusive=[names], required_one_of=[names], supports_check_mode=True)
    args = ['--ifchanged', '--channel=%d' % module.params['channel']]
    for name, option in CSV_OPTIONS:
        if module.params[name] is not None:
            args.append(option + ornat_cli.json_list([os.path.abspath(module.params[name])]))
    if module.check_mode:
        args.insert(0, '--check')
    document = ornat_cli.run_or_fail(module, ornat_cli.command(module, 'setup_channel', *args))
    result = dict(changed=bool(document.get('changed')), channels=document.get('channels', []), document=document)
    if module._diff:
        diff = []
        for entry in result['channels']:
            diff.extend(ornat_cli.change_diff(entry.get('diff', []), 'controller', 'CSV file'))
        if diff:
            result['diff'] = diff
    module.exit_json(**result)


if __name__ == '__main__':
    main()
