// What the Windows platform files share: conversions, the form in which a
// path reaches the system, how a link shows itself where the usual signs are
// missing, directory listing, and the retries while other programs hold
// files.
#pragma once

#include "platform.h"

#include <spdlog/spdlog.h>

#include <windows.h>

#include <chrono>
#include <thread>

#include <string>
#include <vector>
#include <system_error>

// Converts text in the given code page to a wide string; raises
// std::filesystem::filesystem_error when the text is not valid in it.
std::wstring wide_from(const std::string& text, UINT code_page);

// The path as it is handed to the system: unchanged while it is short, and
// in the extended-length form (\\?\C:\..., \\?\UNC\server\share\...) once it
// reaches the length that the classic form refuses. Only system calls see
// this form; the log keeps every path as it was given.
std::wstring system_path(const std::filesystem::path& path);

std::error_code last_error();

// True when path, found in the directory whose final name is dir_final, is
// in fact a link that the usual attributes don't show. Windows shows every
// link as a reparse point; Wine shows its links (Unix symbolic links) only
// in the names of what they open, and acts on the target of such a link whatever a
// call asks, so they must be recognised and left alone there. Always false
// on Windows itself.
bool is_hidden_link(const std::wstring& dir_final, const std::filesystem::path& path);

// The error for a link that is left alone because removing or renaming it
// would act on its target.
std::error_code link_left_alone();

// The final name (below its volume) of an existing file or directory, that
// is the name of what a link leads to; empty when unknown, and only asked for
// where is_hidden_link can be true.
std::wstring final_path_for_links(const std::filesystem::path& path);

// A directory that walks go into; links and junctions are not.
bool is_plain_directory(DWORD attributes);

struct found_entry {
    std::wstring name;
    DWORD attributes;
    std::uint64_t size;
};

// The entries of a directory but "." and ".."; false when it can't be read.
[[nodiscard]] bool find_entries(const std::filesystem::path& dir, std::vector<found_entry>& entries);

// Errors that mean nothing is at a path.
bool is_absent_error(DWORD error);

// "; held by app.exe (pid 1234), ..." for the files at these paths (the files
// below a directory), or nothing when no program is known to hold any.
std::string held_by(const std::vector<std::filesystem::path>& paths);

// Errors that another program holding a file causes, and that pass.
bool is_passing_error(DWORD error);

// Runs attempt until it succeeds, fails for good, or about 10 s have gone.
// Scanners and explorers hold files for moments; the wait doubles from
// 50 ms. One warning tells that a retry was needed, and names the programs
// that hold the files at the paths in_the_way() gives after the failed
// attempt.
template <class InTheWay, class Attempt>
void retry_while_busy(const std::filesystem::path& subject, const char* action, InTheWay in_the_way,
                      Attempt attempt, std::error_code& ec)
{
    auto delay = std::chrono::milliseconds(50);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool warned = false;
    for (;;) {
        ec = attempt();
        if (!ec || !is_passing_error(static_cast<DWORD>(ec.value())) || std::chrono::steady_clock::now() >= deadline)
            return;
        if (!warned) {
            spdlog::warn("Retrying {} of {}: {}{}", action, narrow_for_log(subject), ec.message(),
                         held_by(in_the_way()));
            warned = true;
        }
        std::this_thread::sleep_for(delay);
        delay = std::min(delay * 2, std::chrono::milliseconds(1000));
    }
}
