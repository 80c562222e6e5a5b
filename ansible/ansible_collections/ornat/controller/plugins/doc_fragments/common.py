# -*- coding: utf-8 -*-
# Copyright: 2026 The ornat-cli developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # The options of every module that talks to a controller.
    DOCUMENTATION = r'''
options:
  address:
    description:
      - The controller's host name or address, with an optional C(:PORT) (the tool's C(--ip)); an IPv6 address goes
        in brackets (C([::1]:8080)).
    type: str
    required: true
  binary:
    description:
      - The ornat-cli program to run, a path or a name looked up on C(PATH) of the host that runs the task.
    type: str
    default: ornat-cli
  tftp_blksize:
    description:
      - The TFTP block size that reads and uploads ask for (C(--tftpblksize)), 8 to 65464 bytes; the tool's default
        is 128, the size the controller is made for. Larger sizes suit controllers behind a slow link that are known
        to accept them.
    type: int
notes:
  - >-
    ornat-cli runs on the host that runs the task. Controllers are no Ansible hosts of their own, so give them
    C(connection: local) (or C(delegate_to) a machine with ornat-cli) and their address as a variable.
'''

    # For the modules that only read files.
    BINARY = r'''
options:
  binary:
    description:
      - The ornat-cli program to run, a path or a name looked up on C(PATH) of the host that runs the task.
    type: str
    default: ornat-cli
'''
