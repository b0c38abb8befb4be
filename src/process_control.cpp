// Application process control: the outline of waiting for the application
// and of starting it, with every line the log shows of it. The platform
// supplies only the primitives: open, wait, terminate, start.
#include "updater.h"

#include "platform.h"
#include "process_control_internals.h"

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
    wait_for_exit(process, termination_grace_ms);
}

}  // namespace

void wait_for_process(std::int32_t pid)
{
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

void launch_process(const std::filesystem::path& exe_path, const std::string& argument_string)
{
    const std::string command_line = build_command_line(exe_path, argument_string);
    const unsigned long error = start_detached(exe_path, argument_string, command_line);
    if (error != 0) {
        spdlog::error("Failed to launch process, error code: {}", error);
        return;
    }
    spdlog::info("Launched: {}", command_line);
}
