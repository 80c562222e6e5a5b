# -*- coding: utf-8 -*-
"""The diff mode texts and failure messages that module_utils/ornat_cli.py
makes of the tool's document (run with pytest; it needs no Ansible)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import importlib.util
import pathlib

_PATH = pathlib.Path(__file__).resolve().parents[4] / 'plugins' / 'module_utils' / 'ornat_cli.py'
_SPEC = importlib.util.spec_from_file_location('ornat_cli', str(_PATH))
ornat_cli = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(ornat_cli)


def test_change_lines_split_into_old_and_new_sides():
    split = ornat_cli.split_change
    assert split('    device 5 (address 5) name: "C1 Luminaire 06" -> "Hall East"') == (
        '    device 5 (address 5) name: "C1 Luminaire 06"', '    device 5 (address 5) name: "Hall East"')
    # A name may hold " -> ", quotes and backslashes: the quoted value ends the old side.
    assert split(r'    group 3 name: "a -> \"b\\" -> "c"') == (r'    group 3 name: "a -> \"b\\"', '    group 3 name: "c"')
    assert split('    device 5 (address 5) groups: [1] -> [1,3]') == (
        '    device 5 (address 5) groups: [1]', '    device 5 (address 5) groups: [1,3]')
    assert split('    layout 3 -> 4') == ('    layout 3', '    layout 4')
    assert split('    device 9 (address 12) added') is None


def test_sets_go_to_their_sides():
    changes = [{'mark': '~', 'set': 'dali1', 'lines': ['    device 9 (address 12) added',
                                                         '    device 9 (address 12) address: null -> 12',
                                                         '    group 2 removed']},
               {'mark': '~', 'set': 'rlc', 'lines': []},
               {'mark': '+', 'set': 'cd1', 'lines': []},
               {'mark': '-', 'set': 'views2', 'lines': []}]
    diff = ornat_cli.change_diff(changes, 'controller', 'backup')
    assert [(d['before_header'], d['after_header']) for d in diff][0] == ('dali1 (controller)', 'dali1 (backup)')
    assert diff[0]['before'] == 'dali1\n    device 9 (address 12) address: null\n    group 2 removed\n'
    assert diff[0]['after'] == 'dali1\n    device 9 (address 12) added\n    device 9 (address 12) address: 12\n'
    assert diff[1]['before'] != diff[1]['after']  # a set compared by its bytes still shows as changed
    assert (diff[2]['before'], diff[2]['after']) == ('', 'cd1\n')
    assert (diff[3]['before'], diff[3]['after']) == ('views2\n', '')


def test_failure_message_is_the_error_lines():
    document = {'messages': [{'level': 'info', 'text': 'backup\tbackup file not found for action get_backup.'},
                             {'level': 'error', 'text': 'Error, status.txt file not found.'},
                             {'level': 'warning', 'text': '[WARN] Could not fetch flashfs.bin for backup'},
                             {'level': 'error', 'text': 'Set rlc could not be backed up.'}]}
    text = ornat_cli.error_text(1, document, 'ignored')
    assert text == 'Error, status.txt file not found.; Set rlc could not be backed up.'
    # A failure without a red line: the last line the tool printed.
    assert ornat_cli.error_text(1, {'messages': []}, "status\tfetching\ncurl_easy_perform() failed: x\n\n") == \
        'ornat-cli ended (exit status 1): curl_easy_perform() failed: x'
    assert ornat_cli.error_text(143, None, '') == 'ornat-cli was ended by signal 15'
