// get_status: prints the model name of the controller's status.
#include "action/actions.h"
#include "common/limits.h"
#include "status/status.h"
#include "window/window.h"

int action_get_status(const controller_link& link, status_record* status) {
    status_record local;
    status_record& record = status ? *status : local;
    if (status_get(link, &record) != 0) return EXIT_FAILED;
    console_printf("model_name=%s\r\n", record.model_name->c_str());
    return EXIT_DONE;
}
