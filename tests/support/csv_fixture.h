// The fixture of the channel, groups and inputs CSV import tests: a record
// whose images hold recognisable bytes (so that stray writes and kept bytes
// show), a scratch folder for the CSV file, and the import's console output.
#pragma once

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "backup/backup_check.h"
#include "channel/channel_file.h"
#include "support/support.h"

// Writes `values` into an image from `at` on; `padded` fills a field with
// NUL bytes up to `size`.
inline void put(bytes& image, std::size_t at, const bytes& values) {
    std::copy(values.begin(), values.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}
inline bytes padded(bytes field, std::size_t size) {
    field.resize(size, 0);
    return field;
}

using csv_import_fn = int (*)(const backup_set_data* set, const char* path, channel_record* record);

template <csv_import_fn Import>
class CsvImportTest : public testing::Test {
protected:
    void SetUp() override {
        reset();
        channel_before_.assign(record_.channel.begin(), record_.channel.end());
        inputs_before_.assign(record_.inputs.begin(), record_.inputs.end());
    }
    // Starts again from the recognisable images.
    void reset() {
        for (std::size_t i = 0; i < record_.channel.size(); ++i)
            record_.channel[i] = static_cast<unsigned char>(i * 13 + 5);
        for (std::size_t i = 0; i < record_.inputs.size(); ++i)
            record_.inputs[i] = static_cast<unsigned char>(i * 17 + 3);
    }

    // Imports the file at `path` (null: none) for a controller with that
    // firmware (null: none known); keeps the console output in out_.
    int run(const char* path, const char* firmware = "1.5.0") {
        backup_set_data set;
        if (firmware != nullptr) set.firmware_version = firmware;
        testing::internal::CaptureStdout();
        const int result = Import(&set, path, &record_);
        out_ = testing::internal::GetCapturedStdout();
        return result;
    }
    // Writes `text` as the CSV file and imports it.
    int import(const std::string& text, const char* firmware = "1.5.0") {
        std::ofstream(path_, std::ios::binary) << text;
        return run(path_.c_str(), firmware);
    }

    // Compares both images with the bytes expected (by default: unchanged)
    // and reports the first difference.
    void expect_images(const bytes& channel, const bytes& inputs) {
        for (std::size_t i = 0; i < channel.size(); ++i)
            ASSERT_EQ(record_.channel[i], channel[i]) << "channel byte " << i;
        for (std::size_t i = 0; i < inputs.size(); ++i) ASSERT_EQ(record_.inputs[i], inputs[i]) << "inputs byte " << i;
    }
    void expect_channel(const bytes& channel) { expect_images(channel, inputs_before_); }
    void expect_unchanged() { expect_images(channel_before_, inputs_before_); }

    scratch_folder scratch_;
    const std::string dir_ = scratch_.path.string();
    const std::string path_ = dir_ + "/import.csv";
    std::string out_;
    channel_record record_;
    bytes channel_before_;
    bytes inputs_before_;
};
