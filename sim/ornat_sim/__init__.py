"""Simulated TARNEL DALI controller for ornat-cli.

Stands in for the controller hardware: it answers every exchange the tool
makes, over real HTTP and TFTP on one port number (TCP for HTTP, UDP for
TFTP), and keeps the controller's files in a state folder on disk.

Usage:
    python3 sim/controller_sim.py [--address 127.0.0.1] [--port 0]
        [--model TARNEL-2] [--firmware 1.3.0] [--state DIR] [--log FILE]
        [--verbose] [fault options]

    ornat-cli --action get_status --ip 127.0.0.1:PORT

--port 0 picks a port number that is free for both TCP and UDP. The first
line on standard output is always "listening on ADDRESS:PORT" (flushed), so a
script can read the port from it. The simulator runs until SIGTERM or SIGINT
and then exits with status 0.

State folder (--state; a temporary folder, removed at exit, when omitted):
    etc/config/...          the controller's configuration files, under their
                            device paths (etc/config/dali/dali1.bin, ...)
    flashfs.bin             flash file system image (TFTP read)
    flashraw.bin            raw flash image (TFTP read); carries the firmware
                            information block of the running firmware
    controller.json         identity: model_name, firmware_version,
                            serial_number, mac, hostname, ...
    last_upload.bin         the bytes of the most recent TFTP upload
    faults.json             optional fault switches (see below)
An empty (or missing) folder is filled with the default state of a controller
of the given model and firmware: TARNEL-N has N DALI channels, channel files
in the layout that firmware selects. A folder that already holds anything
other than faults.json is used as it is, so tests can prepare or inspect
files. Identity: built-in defaults, overridden by controller.json, overridden
by --model / --firmware when given. Device files are read from disk on every
request, so they can be changed while the simulator runs.

HTTP (all replies carry Content-Length; keep-alive and "Connection: close"):
    GET /api/v100/backup.ssi?config=NAME
        a tar with the set's file under its device path (for example
        "/etc/config/dali/dali1.bin") and "status.txt" (JSON with model_name,
        firmware_version, serial_number, mac); a set the controller lacks
        gives a tar holding only "status.txt".
    GET /api/v100/status.ssi
        flat JSON status object, 22 string values.
    GET /api/v100/status.ssi?action=restoreconfig
        takes the pending upload as a tar and writes every member whose name
        is the device path of a known configuration set into the state
        folder; other members are ignored. Consumes the pending upload.
    GET /api/v100/status.ssi?action=firmwareupgrade&hash=H&size=N
        accepts the pending upload when its lowercase SHA-256 is H, its size N
        and its information block (184 bytes at 0x1C0000) names a TARNEL-1..4
        model; then the block's version string becomes the firmware version
        (persisted in controller.json). Consumes the pending upload. After an
        accepted upload the controller restarts: it answers the request,
        then for upgrade_quiet seconds (default 3) holds every HTTP request
        unanswered until it is back and gives TFTP requests no answer.
    anything else: 404 with an HTML page.

TFTP (UDP, same port number; RFC 1350 with option negotiation: blksize,
tsize, timeout; one thread and one ephemeral port per transfer; 16-bit block
numbers wrap from 65535 to 0):
    read  "flashfs.bin", "flashraw.bin"
    write "flashraw.bin" (becomes the pending upload); other names refused.

Fault switches: a JSON object, given at start with --faults JSON and the
--fault-* options, and changeable while running by writing DIR/faults.json
(re-read whenever it changes; its keys override the start values; write it
atomically, e.g. to a temporary name and then rename; an unreadable file or
an unknown key is logged as "faults_error" and leaves only the start values
in force). Keys:
    set_404         list of set names answered with HTTP 404 and an HTML page
    set_html        list of set names answered with HTTP 200 and an HTML page
    set_truncated   list of set names whose tar is cut in the middle of its
                    members
    set_corrupt     list of set names whose tar has a bad header checksum
    set_without_file    list of set names whose tar holds "status.txt" and
                    another member, but not the set's file
    set_http_500    list of set names answered with HTTP 500 and an HTML page
    set_without_status  list of set names whose tar holds the set's file but
                    no "status.txt"
    status_txt_body text served as "status.txt" in every set's tar
                    (in the set lists "*" stands for every set)
    drop            true (every request) or a list of substrings of the
                    request target: matching HTTP requests are answered by
                    closing the connection without a reply
    delay           seconds to wait before every HTTP reply
    delay_match     optional list of target substrings the delay applies to
    status_body     text served instead of the JSON status object
    tftp_refuse_read    true: TFTP reads get an error packet
    tftp_refuse_write   true: TFTP writes get an error packet
    tftp_no_tsize   true: the OACK never carries tsize
    tftp_no_oack    true: options are ignored (no OACK, 512-byte blocks)
    tftp_silent     true: TFTP requests get no answer at all
    tftp_abort_after    number of bytes after which a transfer is ended with
                        an error packet
    tftp_block_delay    seconds to wait before each DATA block of a read (a
                        slow read, to interrupt the tool in the middle of it)
    latency         seconds each packet takes in either direction (HTTP
                    and TFTP): a TFTP block and its ACK cost twice that, an
                    HTTP request on a new connection four times
    tftp_loss       probability (0 to 1) that a TFTP packet of a transfer,
                    in either direction, is lost
    tftp_loss_seed  seed of the losses (default 0), with the transfer's
                    number since the start
    tftp_max_blksize    the largest TFTP block size granted in an OACK
    tftp_stop_after     number of bytes after which a transfer's controller
                        falls silent (no DATA or ACK any more)
    upgrade_quiet   seconds the controller is silent after an accepted
                    firmware apply request (default 3; 0: none)
    upgrade_back_old    true: after the restart the controller reports its
                        old firmware version
    upgrade_never_back  true: the controller stays silent until it stops
    upgrade_back_model  after the restart the status names this model
                        ("": no model at all)

Request log (--log FILE, JSON lines, appended, flushed per line). Kinds:
    {"kind": "start", "address", "port", "model_name", "firmware_version"}
    {"kind": "http", "method", "target"[, "fault"][, "held"]}
                    on receipt, in order; a request that arrived while the
                    controller restarted is logged once it is back, with the
                    seconds it was held
    {"kind": "tftp", "op": "read"|"write", "file", "mode", "options"}
    {"kind": "tftp_done", "op", "file", "ok", "bytes", "blksize",
     "blocks"[, "asked_blksize"][, "lost"][, "error"]}
                    blksize: the size used; asked_blksize: the size the
                    request asked for; lost: packets lost (tftp_loss)
    {"kind": "upload", "file", "bytes", "sha256"}
    {"kind": "restore", "ok", "applied": [paths], "ignored": [names]
     [, "reason"]}
    {"kind": "firmware", "accepted": true, "version", "quiet",
     "back": "new"|"old"|"never"}                      the restart to come
    {"kind": "firmware", "accepted": false, "reason"}
    {"kind": "faults_error", "error"}                   unreadable faults.json
    {"kind": "stop"}

Modules:
    sets            the configuration sets (name, device path) and models
    files           CRC, channel file layouts, builders of configuration files
    firmware        firmware images and their information block
    tar             tar builder and reader
    faults          fault switches and their faults.json overlay
    request_log     the request log writer and reader
    controller      identity, state folder, pending upload, restore, upgrade
    http_server     the HTTP interface
    tftp_server     the TFTP interface
    main            the command line (sim/controller_sim.py runs it)
    launcher        starts the simulator as a subprocess for tests, benchmarks
                    and the demo, and reads its request log
"""
