// Helpers of process control that the tests reach directly; nothing else
// includes this.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The command line that is logged and, on Windows, handed over: the quoted
// executable path, then a space and the argument string when that is not
// empty.
std::string build_command_line(const std::filesystem::path& exe_path, const std::string& argument_string);

// Splits an argument string into words by POSIX shell quoting rules, with no
// expansion. Returns false on an unbalanced quote or a trailing backslash.
[[nodiscard]] bool split_shell_words(const std::string& text, std::vector<std::string>& words);
