// The update log: one emptied file per run, written through line by line.
#include "updater.h"

#include "platform.h"
#include "protocol.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

// What can start a line of its own or drive a terminal is written
// escaped, so that no message (holding an argument or a path that the
// caller passed) can pass for another line or rewrite the screen of whoever
// reads the log: the C0 controls (CR, LF, ESC...) and DEL, and the C1
// controls as UTF-8 writes them (NEL, CSI...). A TAB stays as it is: it
// moves the text along its own line, and arguments hold tabs in earnest.

// How many bytes from at make up such a character; 0 for any other.
std::size_t control_length(spdlog::string_view_t text, std::size_t at)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\t')
        return 0;
    if (byte < 0x20 || byte == 0x7f)
        return 1;
    const bool c1 = byte == 0xc2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[at + 1]) <= 0x9f;
    return c1 ? 2 : 0;
}

bool has_controls(spdlog::string_view_t text)
{
    for (std::size_t at = 0; at < text.size(); ++at)
        if (control_length(text, at) > 0)
            return true;
    return false;
}

// The controls' bytes as \n, \r, or \xNN each.
std::string escape_controls(spdlog::string_view_t text)
{
    static const char digits[] = "0123456789abcdef";
    std::string escaped;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = control_length(text, at);
        if (length == 0) {
            escaped += text[at++];
            continue;
        }
        for (const std::size_t end = at + length; at < end; ++at) {
            const auto byte = static_cast<unsigned char>(text[at]);
            if (byte == '\n')
                escaped += "\\n";
            else if (byte == '\r')
                escaped += "\\r";
            else
                escaped += std::string("\\x") + digits[byte >> 4] + digits[byte & 15];
        }
    }
    return escaped;
}

// Writes each line through at once to the stream it is given (on Windows
// straight to the file's handle), with control characters escaped.
struct escaping_sink final : spdlog::sinks::stdout_sink_base<spdlog::details::console_mutex> {
    using stdout_sink_base::stdout_sink_base;

    void log(const spdlog::details::log_msg& msg) override
    {
        if (!has_controls(msg.payload)) {
            stdout_sink_base::log(msg);
            return;
        }
        const std::string escaped = escape_controls(msg.payload);
        spdlog::details::log_msg copy = msg;
        copy.payload = escaped;
        stdout_sink_base::log(copy);
    }
};

// Hands each error line's message, escaped as the log escapes it, to the
// program that started the updater, as a line "error MESSAGE" on standard
// output beside the progress lines: that program reads the pipe anyway, and
// the log may be another run's by the time it looks.
struct caller_error_sink final : spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        write_to_caller("error " + escape_controls(msg.payload));
    }
    void flush_() override {}
};

// A relaunched application may find a newer package at once and start the
// next updater while this one still removes its backup; that one waits.
constexpr auto lock_wait_limit = std::chrono::seconds(60);
constexpr auto lock_poll_interval = std::chrono::milliseconds(100);

// Takes the lock on the log, waiting while another updater holds it, and
// sets waited to how long that took; false, with why set, when the lock
// can't be had.
bool take_log_lock(const std::filesystem::path& log_path, std::FILE*& stream, steady::duration& waited,
                   std::string& why)
{
    const auto started = steady::now();
    for (;;) {
        std::error_code error;
        const lock_outcome outcome = lock_update_log(log_path, stream, error);
        waited = steady::now() - started;
        if (outcome == lock_outcome::taken)
            return true;
        if (outcome == lock_outcome::failed) {
            why = "can't open " + narrow_for_log(log_path) + ": " + error.message();
            return false;
        }
        if (waited >= lock_wait_limit) {
            why = "another updater is running for " + narrow_for_log(log_path.parent_path());
            return false;
        }
        std::this_thread::sleep_for(lock_poll_interval);
    }
}

}  // namespace

bool open_update_log(const std::string& app_dir, bool errors_to_caller, std::string& why)
{
    const std::filesystem::path log_path = path_from_narrow(app_dir) / protocol::log_file_name;
    // The lock is taken before the log is emptied, so a second updater on
    // the same root can't wipe the first one's log or touch its directories.
    try {
        if (!log_path.parent_path().empty())
            create_directory_tree(log_path.parent_path());
    } catch (const std::filesystem::filesystem_error& error) {
        why = error.what();
        return false;
    }
    std::FILE* stream = nullptr;
    steady::duration waited{};
    if (!take_log_lock(log_path, stream, waited, why))
        return false;
    // The file is written through the stream that was checked and locked,
    // never opened again by name.
    std::vector<spdlog::sink_ptr> sinks{std::make_shared<escaping_sink>(stream)};
    if (errors_to_caller) {
        sinks.push_back(std::make_shared<caller_error_sink>());
        sinks.back()->set_level(spdlog::level::err);
    }
    auto logger = std::make_shared<spdlog::logger>("updater", sinks.begin(), sinks.end());
    spdlog::initialize_logger(logger);
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::info);
    spdlog::flush_on(spdlog::level::info);
    if (waited >= lock_poll_interval)
        spdlog::info("Waited {} ms for another updater on this root to finish",
                     std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
    return true;
}

bool update_log_is_open()
{
    return spdlog::get("updater") != nullptr;
}

void log_message(spdlog::level::level_enum level, const std::string& text)
{
    spdlog::default_logger_raw()->log(level, spdlog::string_view_t(text));
}
