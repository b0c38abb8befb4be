// Built against the installed tree with CMake: tells what a start follows
// from main's argv and from constant strings, prepares a package that is
// not there with the installed updater, and confirms a start.
//   consumer APP_DIR
#include <updater_client.hpp>

#include <cstdio>

int main(int argc, char** argv)
{
    const char* const after_failed_update[] = {"app", "--update-failed", nullptr};
    if (argc != 2 || updater_client::start_kind(argc, argv) != UPDATER_START_PLAIN ||
        updater_client::start_kind(2, after_failed_update) != UPDATER_START_UPDATE_FAILED)
        return 2;
    int exit_code = 0;
    const updater_client::result prepared =
        updater_client::prepare({INSTALLED_UPDATER, "missing.zip", argv[1], "2.0", "app.exe", "", {}}, &exit_code);
    if (prepared.code != UPDATER_ERROR_PREPARE_FAILED || exit_code != 1 ||
        prepared.message != "Failed to open zip: missing.zip; Preparation failed, removing current.new") {
        std::fprintf(stderr, "prepare: %d %d %s\n", prepared.code, exit_code, prepared.message.c_str());
        return 1;
    }
    // A run refused on its command line says why, before it has a log.
    const updater_client::result refused =
        updater_client::prepare({INSTALLED_UPDATER, "missing.zip", argv[1], "2.0", "app.exe", "0", {}}, &exit_code);
    if (exit_code != 105 || refused.message != "--sha256: a SHA-256 is 64 hexadecimal digits") {
        std::fprintf(stderr, "refused: %d %s\n", exit_code, refused.message.c_str());
        return 1;
    }
    if (!updater_client::confirm_start(argv[1]))
        return 1;
    std::printf("C++ consumer: %s\n", prepared.message.c_str());
    return 0;
}
