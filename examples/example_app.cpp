// A small application that updates itself with the client library.
//
//   app                                        an ordinary start
//   app --update PACKAGE VERSION [ARG...]      prepares PACKAGE (showing
//                                              its progress), then has the
//                                              updater apply it and exits;
//                                              the new version starts with
//                                              the ARGs
//
// Installed as <root>/current/app (app.exe on Windows) beside a
// version.txt, with the updater as <root>/updater. Every start appends to
// <root>/example.log (and prints) its version, what the start follows and
// the arguments it got; a start after an update confirms itself for the
// updater's start check.
#include "updater_client.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_first_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line.empty() ? "unknown" : line;
}

const char* what_it_follows(updater_start_kind kind)
{
    switch (kind) {
    case UPDATER_START_AFTER_UPDATE:
        return "after an update";
    case UPDATER_START_UPDATE_FAILED:
        return "after a failed update";
    default:
        return "an ordinary start";
    }
}

void report(const std::string& app_dir, const std::string& text)
{
    std::printf("%s\n", text.c_str());
    std::ofstream(app_dir + "/example.log", std::ios::app) << text << "\n";
}

int update(const std::string& app_dir, const std::string& exe, const std::string& package,
           const std::string& version, const std::vector<std::string>& relaunch_args)
{
    updater_client::prepare_request preparation{"", package, app_dir, version, exe, "", {}};
    int shown = -1;
    preparation.progress = [&shown](unsigned long long done, unsigned long long total) {
        const int percent = total ? static_cast<int>(done * 100 / total) : 100;
        if (percent != shown)
            std::printf("preparing the update: %d%%\n", percent);
        shown = percent;
    };
    const updater_client::result prepared = updater_client::prepare(preparation);
    if (!prepared)  // the updater extracts the package itself then
        std::printf("could not prepare the update (%s); applying it anyway\n", prepared.message.c_str());
    updater_client::apply_request request;
    request.package = package;
    request.app_dir = app_dir;
    request.version = version;
    request.exe = exe;
    request.args = relaunch_args;
    request.confirm_timeout_s = 30;
    const updater_client::result started = updater_client::start_apply(request);
    if (!started) {
        report(app_dir, "could not start the update: " + started.message);
        return 1;
    }
    report(app_dir, "restarting into version " + version);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string app_dir;
    if (const updater_client::result found = updater_client::find_app_dir(argv[0], app_dir); !found) {
        std::fprintf(stderr, "%s\n", found.message.c_str());
        return 1;
    }
    const updater_start_kind kind = updater_client::start_kind(argc, argv);
    std::ostringstream start;
    start << "example " << read_first_line(app_dir + "/current/version.txt") << ": " << what_it_follows(kind);
    for (int i = kind == UPDATER_START_PLAIN ? 1 : 2; i < argc; ++i)
        start << "\n  argument: " << argv[i];
    report(app_dir, start.str());
    if (kind == UPDATER_START_AFTER_UPDATE) {
        const updater_client::result confirmed = updater_client::confirm_start(app_dir);
        report(app_dir, confirmed ? "confirmed the start" : "could not confirm the start: " + confirmed.message);
    }
    if (argc >= 4 && std::string(argv[1]) == "--update")
        return update(app_dir, std::filesystem::path(argv[0]).filename().string(), argv[2], argv[3],
                      std::vector<std::string>(argv + 4, argv + argc));
    return 0;
}
