"""The controller's configuration sets and models."""

_SINGLE_SETS = (
    [
        ("systemconfig", "/etc/config/system/systemconfig.bin"),
        ("bastimeout", "/etc/config/bastimeout/bastimeout.bin"),
        ("schedules", "/etc/config/schedule/schedule.bin"),
        ("schedulesastro", "/etc/config/schedule/scheduleastro.bin"),
        ("rlc", "/etc/config/rlc/rlc.bin"),
        ("commanders", "/etc/config/cmdr/cmdr.bin"),
    ]
    + [("dali%d" % c, "/etc/config/dali/dali%d.bin" % c) for c in range(1, 5)]
    + [("cd%d" % c, "/etc/config/dali/cd%d.bin" % c) for c in range(1, 5)]
    + [("daincd%d" % c, "/etc/config/nvp/daincd%d.bin" % c) for c in range(1, 5)]
    + [
        (name, "/etc/config/nvp/%s.bin" % name)
        for name in ("system_ui32", "dalv", "daeu", "daeutr", "daeutc", "dacdlcm", "dacdlcr",
                     "rlcnamenvp", "cmdrnamenvp")
    ]
)

_FAMILY_SETS = (
    [("dali_%s_%d_%d" % (kind, c, n), "/etc/config/dali/dali_%s_%d_%d.bin" % (kind, c, n))
     for kind in ("dt1", "dt8") for c in range(1, 5) for n in range(64)]
    + [("views%d" % n, "/etc/config/views/views%d.bin" % n) for n in range(64)]
)

# The 603 configuration sets as (set name, device path), in fetch order.
CONFIG_SETS = tuple(_SINGLE_SETS + _FAMILY_SETS)
SET_PATHS = dict(CONFIG_SETS)  # set name -> device path
PATH_SETS = {path: name for name, path in CONFIG_SETS}  # device path -> set name
assert len(CONFIG_SETS) == 603 and len(SET_PATHS) == 603 and len(PATH_SETS) == 603

MODELS = ("TARNEL-1", "TARNEL-2", "TARNEL-3", "TARNEL-4")


def model_channels(model):
    """TARNEL-N has N DALI channels; any other model text counts as one."""
    tail = model.rsplit("-", 1)[-1]
    if tail.isdigit() and 1 <= int(tail) <= 4:
        return int(tail)
    return 1
