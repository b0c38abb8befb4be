// The client library for C++: the calls of updater_client.h with standard
// strings, argument lists and a callable for progress. Nothing here throws:
// every failure is a result whose code is not UPDATER_OK.
#pragma once

#include "updater_client.h"

#include <functional>
#include <string>
#include <vector>

namespace updater_client {

struct result {
    int code = UPDATER_OK;
    std::string message;
    explicit operator bool() const { return code == UPDATER_OK; }
};

inline updater_start_kind start_kind(int argc, char* const* argv)
{
    return updater_start_kind_of(argc, argv);
}

// For an argument list of constant strings; updater_start_kind_of only
// reads them.
inline updater_start_kind start_kind(int argc, const char* const* argv)
{
    return updater_start_kind_of(argc, const_cast<char* const*>(argv));
}

inline result find_app_dir(const char* argv0, std::string& app_dir)
{
    updater_error error{};
    std::string buffer(32768, '\0');
    updater_find_app_dir(argv0, buffer.data(), static_cast<unsigned long>(buffer.size()), &error);
    if (error.code == UPDATER_OK)
        app_dir = buffer.c_str();
    return {error.code, error.message};
}

struct apply_request {
    std::string updater;  // empty: the updater in app_dir
    std::string package;
    std::string app_dir;
    std::string version;
    std::string exe;  // the main executable in current/; empty: the updater's default, "app.exe": set it
    std::vector<std::string> args;
    unsigned confirm_timeout_s = 0;
    bool no_launch = false;
    std::string sha256;  // empty: not checked
};

inline result start_apply(const apply_request& request)
{
    std::vector<const char*> args;
    for (const std::string& arg : request.args)
        args.push_back(arg.c_str());
    args.push_back(nullptr);
    const updater_apply_request c_request{request.updater.c_str(),
                                          request.package.c_str(),
                                          request.app_dir.c_str(),
                                          request.version.c_str(),
                                          request.exe.c_str(),
                                          args.data(),
                                          request.confirm_timeout_s,
                                          request.no_launch ? 1 : 0,
                                          request.sha256.c_str()};
    updater_error error{};
    updater_start_apply(&c_request, &error);
    return {error.code, error.message};
}

struct prepare_request {
    std::string updater;  // empty: the updater in app_dir
    std::string package;
    std::string app_dir;
    std::string version;
    std::string exe;  // the main executable in current/; empty: the updater's default, "app.exe": set it
    std::string sha256;  // empty: not checked
    std::function<void(unsigned long long done, unsigned long long total)> progress;
};

inline result prepare(const prepare_request& request, int* exit_code = nullptr)
{
    const auto forward = [](unsigned long long done, unsigned long long total, void* context) {
        const auto& progress = *static_cast<const prepare_request*>(context);
        if (progress.progress)
            progress.progress(done, total);
    };
    const updater_prepare_request c_request{request.updater.c_str(),
                                            request.package.c_str(),
                                            request.app_dir.c_str(),
                                            request.version.c_str(),
                                            request.exe.c_str(),
                                            request.sha256.c_str(),
                                            forward,
                                            const_cast<prepare_request*>(&request)};
    updater_error error{};
    updater_prepare(&c_request, exit_code, &error);
    return {error.code, error.message};
}

inline result confirm_start(const std::string& app_dir)
{
    updater_error error{};
    updater_confirm_start(app_dir.c_str(), &error);
    return {error.code, error.message};
}

}  // namespace updater_client
