#!/usr/bin/env python3
"""Simulated TARNEL DALI controller for ornat-cli: runs the ornat_sim package
beside this file. Its docstring and sim/README.md describe the command line,
the state folder, the fault switches and the request log."""

import sys

from ornat_sim.main import main

if __name__ == "__main__":
    sys.exit(main())
