// What the Windows platform files share: the form in which a path reaches
// the system, and how a link shows itself where the usual signs are missing.
#pragma once

#include "updater.h"

#include <windows.h>

#include <string>
#include <vector>
#include <system_error>

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

// The final name (below its volume) of an existing file or directory, that
// is the name of what a link leads to; empty when unknown, and only asked for
// where is_hidden_link can be true.
std::wstring final_path_for_links(const std::filesystem::path& path);

// The processes that hold any of the files (full paths) open, as
// "app.exe (pid 1234), scanner.exe (pid 99)"; empty when none does or the
// Restart Manager can't tell.
std::string describe_file_holders(const std::vector<std::wstring>& files);
