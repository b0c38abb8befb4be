// The update log: one truncated file per run, flushed after every line.
#include "updater.h"

#include <spdlog/sinks/basic_file_sink.h>

#include <stdexcept>

void open_update_log(const std::string& app_dir)
{
    const std::filesystem::path log_path = path_from_narrow(app_dir) / "updater.log";
    // The lock is taken before the log is emptied, so a second updater on
    // the same root can't wipe the first one's log or touch its directories.
    if (!log_path.parent_path().empty())
        std::filesystem::create_directories(log_path.parent_path());
    std::string reason;
    if (!lock_update_log(log_path, reason))
        throw std::runtime_error(reason);
    const std::string file_name = narrow_from_path(log_path);
    auto logger = spdlog::basic_logger_mt("updater", file_name, true);
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::info);
    spdlog::flush_on(spdlog::level::info);
}

bool update_log_is_open()
{
    return spdlog::get("updater") != nullptr;
}

void log_message(spdlog::level::level_enum level, const std::string& text)
{
    spdlog::default_logger_raw()->log(level, spdlog::string_view_t(text));
}
