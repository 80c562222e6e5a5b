// Actions that this build does not carry yet: each says so and fails.
#include "main/actions.h"
#include "window/window.h"

namespace {
int not_available(const char* name) {
    console_printf("Action '%s' is not available in this build.\n", name);
    return 1;
}
}  // namespace

int action_setup_channel(const char*, const std::vector<std::uint32_t>*, const std::vector<std::string>*,
                         const std::vector<std::string>*, const std::vector<std::string>*) {
    return not_available("setup_channel");
}
