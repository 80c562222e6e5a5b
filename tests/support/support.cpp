#include "support/support.h"

#include <random>
#include <string>
#include <system_error>

scratch_folder::scratch_folder() {
    // create_directory makes only a folder that is not there yet, so a name
    // that another run holds is passed over.
    std::random_device random;
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    do {
        path = temp / ("ornat-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path));
}

scratch_folder::~scratch_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
