// What the updater's parts share: the update log, the update transaction,
// application process control and package extraction, each used by the
// others through these entry points only.
#pragma once

#include "scope_exit.h"

#include <spdlog/spdlog.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

// ---- Update log -----------------------------------------------------------

// Creates (or empties) "updater.log" in the application root, creating the
// root if needed, and makes it the process-wide default log, written through
// line by line. With errors_to_caller each error line's message is also
// written to standard output, as a line "error MESSAGE" (escaped as in the
// log), for the program that started the updater. False, with why set,
// when the log can't be opened, or another updater holds it for over a
// minute.
[[nodiscard]] bool open_update_log(const std::string& app_dir, bool errors_to_caller, std::string& why);

// True once open_update_log has succeeded in this process.
bool update_log_is_open();

// Writes a fixed text verbatim (never interpreted as a format string).
void log_message(spdlog::level::level_enum level, const std::string& text);

// ---- Update transaction ---------------------------------------------------

// What an update does beyond the swap itself.
struct apply_options {
    // Above 0: the new application must confirm its start within that many
    // seconds, or the update is rolled back.
    unsigned confirm_timeout_s = 0;
    // False: no application is started, neither the new one nor, after a
    // rollback, the old one.
    bool launch = true;
    // 64 lower-case hexadecimal digits, or empty: the package's SHA-256
    // must be this before the new files are committed.
    std::string sha256;
};

// Applies the update and returns the exit code: 0 when the new files are in
// place, 1 when the update was not applied. A copy that prepare_update made
// from the same package for the same version is used instead of extracting
// the package again.
[[nodiscard]] int apply_update(std::int32_t pid, const std::string& package_path,
                 const std::string& app_dir, const std::string& exe_name,
                 const std::string& version, const std::string& relaunch_args,
                 const apply_options& options);

// What a preparation does beyond the extraction itself.
struct prepare_options {
    // The extraction's progress goes to standard output as lines "progress
    // WRITTEN TOTAL", for the program that started the updater.
    bool report_progress = false;
    // As in apply_options.
    std::string sha256;
};

// Extracts the package into `current.new` in the application root, while
// the application may still run, for a later apply_update of the same
// package, main executable and version. Returns 0 when the copy is complete
// and durable, 1 (having removed what it wrote) when not. Touches no
// process and nothing of the installed application.
[[nodiscard]] int prepare_update(const std::string& package_path, const std::string& app_dir, const std::string& exe_name,
                   const std::string& version, const prepare_options& options);

// ---- Application process control ------------------------------------------

constexpr int exit_timeout_ms = 30000;
constexpr int termination_grace_ms = 5000;

// Waits for the process to end, terminating it after exit_timeout_ms. The
// updater's own process id is never waited for.
void wait_for_process(std::int32_t pid);

// Starts the executable detached, with its own directory as working
// directory; the outcome is only logged.
void launch_process(const std::filesystem::path& exe_path,
                    const std::string& argument_string);

// Starts the executable as launch_process does, keeping hold of it, and
// waits up to timeout_s seconds for something to appear at
// confirmation_file (looked at without following a link) while it runs.
// True when it did; false when the start failed, the process ended first,
// or the time ran out (the process is then terminated). Every outcome is
// logged.
[[nodiscard]] bool launch_and_await_confirmation(const std::filesystem::path& exe_path, const std::string& argument_string,
                                   const std::filesystem::path& confirmation_file, unsigned timeout_s);

// ---- Package extraction ---------------------------------------------------

// Told a few times a second while a package is extracted, and once at the
// end: bytes of its files written so far, of the total.
using extraction_progress = std::function<void(std::uint64_t written, std::uint64_t total)>;

struct extraction_options {
    extraction_progress progress;
    // The main executable's name: given the executable bits where the
    // package records no permissions for it (a package zipped on Windows).
    std::string main_executable;
    // 64 lower-case hexadecimal digits, or empty: the package's SHA-256 must
    // be this, or the extraction fails.
    std::string sha256;
};

// Extracts every entry of the zip package into dest_dir. Returns false after
// a logged failure.
[[nodiscard]] bool extract_zip(const std::string& package_path, const std::string& dest_dir,
                               const extraction_options& options = {});
