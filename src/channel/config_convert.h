// Brings a configuration set's file from the layout it was saved in to the
// layout the controller's firmware expects, before a restore sends it.
//
// Only channel files (dali1..dali4, restore indexes 2..5) and channel inputs
// files (cd1..cd4, indexes 6..9) have layouts; every other set (indexes 0, 1
// and 10..602) goes back unchanged. Conversions only go forward (channel
// files 1->2, 1->3, 2->3; inputs files 2->3); a file newer than the
// controller's layout cannot be restored.
#pragma once

#include <cstddef>
#include <vector>

#include "backup/config_sets.h"
#include "status/status.h"

enum : int {
    CONFIG_CONVERT_OK = 0,
    CONFIG_CONVERT_MISSING = 1,        // entry, status or bytes missing
    CONFIG_CONVERT_REFUSED = 2,        // unknown layout, wrong length, index above 602, no firmware version
    CONFIG_CONVERT_NOT_SUPPORTED = 3,  // no path to the controller's layout: the restore must stop
};

// On CONFIG_CONVERT_OK `out` holds the file to send (converted, or an
// unchanged copy). CONFIG_CONVERT_NOT_SUPPORTED has printed
// "CONFIGURATION <dali|dalicd> CONVERSION VERSION <from> to <to> IS NOT SUPPORTED!".
int config_convert(const restore_config_entry* entry, const status_record* status, const unsigned char* bytes,
                   std::size_t length, std::vector<unsigned char>* out);

// The four conversions: the destination (the new layout's size) is filled
// with 0 and rebuilt from the source (the old layout's size). 0, or 1 when
// either is missing.
int channel_convert_1_to_2(unsigned char* dst, const unsigned char* src);
int channel_convert_1_to_3(unsigned char* dst, const unsigned char* src);
int channel_convert_2_to_3(unsigned char* dst, const unsigned char* src);
int inputs_convert_2_to_3(unsigned char* dst, const unsigned char* src);
