// What the client library needs from the operating system, one
// implementation per platform (client_posix.cpp, client_win32.cpp). Strings
// are UTF-8 throughout.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace client {

// The updater program's name in the application root.
extern const char* const default_updater_name;

// The path of name in dir, with the platform's separator.
std::string join_path(const std::string& dir, const std::string& name);

long own_process_id();

// The arguments as one string that the started application splits back
// into the same arguments: by shell quoting rules on POSIX systems, by the
// C runtime's rules (those of CommandLineToArgvW) on Windows.
std::string relaunch_argument_string(const std::vector<std::string>& args);

// False, with message set, when the command line that starts argv would be
// too long for the system (checked where the system would not say so
// itself).
bool command_line_fits(const std::vector<std::string>& argv, std::string& message);

// Starts argv[0] with these arguments, detached (a session of its own, or
// no console and out of the caller's job where Windows allows), holding
// none of the caller's descriptors or handles, its standard streams on the
// null device; returns at once. False, with message set, when it could not
// be started.
bool start_detached(const std::vector<std::string>& argv, std::string& message);

// Starts argv[0] with these arguments, hands each line it writes to its
// standard output or error to on_line as it comes, and waits for it to
// end. False, with message set, when it could not be started; exit_code -1,
// with message set, where how it ended can't be learnt.
bool run_reading_lines(const std::vector<std::string>& argv, const std::function<void(const std::string&)>& on_line,
                       int& exit_code, std::string& message);

// The directory of the running program's executable; argv0 is used where it
// is an absolute path.
bool own_executable_dir(const char* argv0, std::string& dir, std::string& message);

// The parent directory of a path.
std::string parent_of(const std::string& path);

// Creates the file at path unless a regular file is there already; never
// through a link. False, with message set, when that failed.
bool create_flag_file(const std::string& path, std::string& message);

}  // namespace client
