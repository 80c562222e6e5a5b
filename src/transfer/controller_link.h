// The controller of one run and how the tool reaches it: the address as
// the user typed it (`--ip`), the base URL built from it, and the settings
// every exchange of the run shares. Built once per run and handed to each
// exchange; nothing about the run is kept anywhere else.
//
// An address is a host with an optional port: "10.0.0.5", "ctl.local:8080",
// "[fe80::1]", "[::1]:8080". It goes into "http://ADDRESS/..." and
// "tftp://ADDRESS/..." as typed, so anything that would change what such a
// URL names (a scheme, a path, a query, a fragment, credentials, white
// space, a second colon outside brackets) makes it unusable.
#pragma once

#include <string>

// The TFTP block size asked for: 128 bytes unless set (--tftpblksize),
// from 8 to 65464 (the option's bounds). A controller that answers with a
// smaller size gets that size; one that ignores the option gets 512 bytes.
constexpr long TFTP_BLOCK_SIZE_DEFAULT = 128;
constexpr long TFTP_BLOCK_SIZE_MIN = 8;
constexpr long TFTP_BLOCK_SIZE_MAX = 65464;

// The port of an address that names none.
constexpr unsigned CONTROLLER_DEFAULT_PORT = 80;

struct transfer_settings {
    bool verbose = false;  // libcurl's trace of the exchanges (--verbose)
    long tftp_block_size = TFTP_BLOCK_SIZE_DEFAULT;
};

struct controller_link {
    std::string address;   // as typed
    std::string base_url;  // "http://" + address
    std::string host;      // without brackets
    unsigned port = CONTROLLER_DEFAULT_PORT;
    transfer_settings settings;
};

// Splits an address into its host (brackets removed) and port; false when
// it is not a host with an optional port from 1 to 65535.
bool controller_address_parse(const std::string& address, std::string* host, unsigned* port);

// The link to the controller at `address`; false (and the link untouched)
// for an address that controller_address_parse refuses.
bool controller_link_make(const std::string& address, const transfer_settings& settings, controller_link* link);
