#include "main/cli.h"
#include "platform/platform.h"

int main(int argc, char** argv) { return platform_main(argc, argv, cli_main); }
