// Application process control: the outline of waiting for the application
// and of starting it, with every line the log shows of it. The platform
// supplies only the primitives: open, wait, terminate, start.
#include "updater.h"

#include "platform.h"
#include "process_control_internals.h"

#include <algorithm>
#include <chrono>

namespace {

// Terminates a process that outlived the wait, where the updater may.
void end_overdue_process(opened_process& process, std::int32_t pid, process_access access)
{
    if (access == process_access::wait_only) {
        // Whether its files are still in the way, the rename's retries tell.
        spdlog::error("Process {} did not exit in time and could not be terminated: access denied", pid);
        return;
    }
    spdlog::warn("Process {} did not exit in time, terminating", pid);
    terminate_process(process);
    // Ended or not after the grace, the update goes on: whether its files
    // are still in the way, the rename's retries tell.
    (void)wait_for_exit(process, termination_grace_ms);
}

}  // namespace

void wait_for_process(std::int32_t pid)
{
    // Ids of 0 and below would address process groups or every process on
    // POSIX systems, and 1 is the system's first process, never an
    // application: none of them is waited for or signalled.
    if (pid <= 1) {
        spdlog::info("Process {} not found, proceeding", pid);
        return;
    }
    // Waiting for itself would end in the updater terminating itself.
    if (pid == current_process_id()) {
        spdlog::warn("Process {} is this updater itself, not waiting for it", pid);
        return;
    }
    process_access access = process_access::not_found;
    const opened_process_ptr process = open_process(pid, access);
    if (!process) {
        if (access == process_access::refused)
            spdlog::warn("Process {} can't be waited for: access denied, proceeding", pid);
        else
            spdlog::info("Process {} not found, proceeding", pid);
        return;
    }
    spdlog::info("Waiting for process {} to exit (timeout {}ms)", pid, exit_timeout_ms);
    if (!wait_for_exit(*process, exit_timeout_ms))
        end_overdue_process(*process, pid, access);
}

std::string build_command_line(const std::filesystem::path& exe_path, const std::string& argument_string)
{
    std::string command_line = "\"" + narrow_from_path(exe_path) + "\"";
    if (!argument_string.empty())
        command_line += " " + argument_string;
    return command_line;
}

namespace {

// Logs the outcome of a start as every start is logged; true when it
// started. The error code is the platform's own number.
bool log_start(const std::error_code& ec, const std::string& command_line)
{
    if (ec) {
        spdlog::error("Failed to launch process, error code: {}", static_cast<unsigned long>(ec.value()));
        return false;
    }
    spdlog::info("Launched: {}", command_line);
    return true;
}

constexpr auto confirmation_poll_interval = std::chrono::milliseconds(100);

bool confirmation_present(const std::filesystem::path& file)
{
    try {
        return entry_type_of(file) != entry_type::absent;
    } catch (const std::filesystem::filesystem_error&) {
        return false;  // what can't be looked at is no confirmation
    }
}

enum class wait_end { confirmed, exited, timed_out };

// Looks for the confirmation between short waits on the process, so that
// it is seen soon after it appears, and the end of the process at once.
wait_end wait_for_confirmation(opened_process& process, const std::filesystem::path& file, unsigned timeout_s)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(timeout_s);
    for (;;) {
        if (confirmation_present(file))
            return wait_end::confirmed;
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return wait_end::timed_out;
        if (wait_for_exit(process, static_cast<int>(std::min(left, confirmation_poll_interval).count())))
            // It may have confirmed just before it ended.
            return confirmation_present(file) ? wait_end::confirmed : wait_end::exited;
    }
}

}  // namespace

void launch_process(const std::filesystem::path& exe_path, const std::string& argument_string)
{
    const std::string command_line = build_command_line(exe_path, argument_string);
    std::error_code ec;
    // Its result is in ec; whether the start succeeded, the update stands.
    (void)start_detached(exe_path, argument_string, command_line, ec);
    log_start(ec, command_line);
}

bool launch_and_await_confirmation(const std::filesystem::path& exe_path, const std::string& argument_string,
                                   const std::filesystem::path& confirmation_file, unsigned timeout_s)
{
    const std::string command_line = build_command_line(exe_path, argument_string);
    std::error_code ec;
    const opened_process_ptr process = start_watched(exe_path, argument_string, command_line, ec);
    if (!log_start(ec, command_line))
        return false;
    spdlog::info("Waiting {}s for the new version to confirm its start", timeout_s);
    switch (wait_for_confirmation(*process, confirmation_file, timeout_s)) {
    case wait_end::confirmed:
        log_message(spdlog::level::info, "New version confirmed its start");
        return true;
    case wait_end::exited:
        spdlog::error("New version exited with code {} before confirming its start", exit_code_of(*process));
        break;
    case wait_end::timed_out:
        spdlog::error("New version did not confirm its start in {}s", timeout_s);
        terminate_process(*process);
        if (wait_for_exit(*process, termination_grace_ms))
            exit_code_of(*process);
        break;
    }
    // The new version, and whatever it started, is gone before the rollback
    // touches its files and starts the old one beside it.
    end_descendants(*process, termination_grace_ms);
    return false;
}
