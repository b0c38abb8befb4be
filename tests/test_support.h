// Helpers shared by the tests: scratch directories, zip packages written
// with libzip, and running programs as separate processes.
#pragma once

#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace test {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed again
// when the test ends.
struct scratch_dir {
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    fs::path path;
};

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& content);
std::vector<std::string> read_lines(const fs::path& path);

// The message part of an update-log line, after the time, name and level.
std::string log_message_of(const std::string& line);
std::vector<std::string> log_messages(const fs::path& log_file);

enum class item_kind { file, directory, symlink };

struct zip_item {
    std::string name;
    std::string data;  // file content, or link target
    item_kind kind = item_kind::file;
    unsigned unix_mode = 0;  // permission bits to record; 0 records 0644
    bool encrypted = false;
    bool stored = false;  // no compression, so the data appears verbatim
    int deflate_level = 0;  // 1-9, or 0 for the library's default (9)
    std::time_t mtime = 0;  // the modification time to record, or 0 for now
    bool made_on_windows = false;  // DOS attributes only: no Unix mode recorded
};

void write_zip(const fs::path& path, const std::vector<zip_item>& items);

// Writes items, then a stored entry named bad_name whose data no longer
// matches its recorded CRC-32.
void write_zip_with_bad_crc(const fs::path& path, std::vector<zip_item> items, const std::string& bad_name);

// Replaces every occurrence of from with to (same length) in a file.
void patch_bytes(const fs::path& path, const std::string& from, const std::string& to);

// Makes a package and an application root whose current holds old_files.
void make_app_root(const fs::path& root, const std::map<std::string, std::string>& old_files);

// Every regular file below dir, by relative path, with its content.
std::map<std::string, std::string> tree_contents(const fs::path& dir);

struct run_result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end with the given arguments (argv[0] first), in
// the environment with extra_env added or replacing entries, as the user
// and group run_as when that is not -1.
run_result run_program(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& extra_env = {}, int run_as = -1);

// The user id of "nobody", for running programs without privileges.
constexpr int unprivileged_user = 65534;

// Hands a tree over to a user (without following links).
void give_tree_to(const fs::path& dir, int user);

// Starts a program without waiting; returns its process id.
int start_program(const std::vector<std::string>& argv);

// Waits until a file exists (or the time runs out); true when it does.
bool wait_for_file(const fs::path& path, int timeout_ms);

}  // namespace test
