/* Built against the installed tree with pkg-config and a C compiler: tells
 * what its own start follows from its argv as main gets it, and prepares a
 * package that is not there.
 *   consumer --after-update UPDATER APP_DIR */
#include <updater_client.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    updater_prepare_request request = {NULL, "missing.zip", NULL, "2.0", NULL, NULL, NULL, NULL};
    updater_error error;
    int exit_code = 0;
    if (argc != 4 || updater_start_kind_of(argc, argv) != UPDATER_START_AFTER_UPDATE)
        return 2;
    request.updater = argv[2];
    request.app_dir = argv[3];
    if (updater_prepare(&request, &exit_code, &error) != UPDATER_ERROR_PREPARE_FAILED || exit_code != 1 ||
        strcmp(error.message, "Failed to open zip: missing.zip; Preparation failed, removing current.new") != 0) {
        fprintf(stderr, "prepare: %d %s\n", exit_code, error.message);
        return 1;
    }
    printf("C consumer: %s\n", error.message);
    return 0;
}
