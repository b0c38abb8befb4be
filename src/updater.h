// Declarations shared by the updater's parts: the update log, the update
// transaction, application process control, package extraction, and the
// small platform layer that process control and extraction sit on.
#pragma once

#include <spdlog/spdlog.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Runs a cleanup when the enclosing scope ends, on every path.
template <class F>
struct scope_exit {
    F cleanup;
    ~scope_exit() { cleanup(); }
};
template <class F>
scope_exit(F) -> scope_exit<F>;

// ---- Update log -----------------------------------------------------------

// Creates (or empties) "updater.log" in the application root, creating the
// root if needed, and makes it the process-wide default log, flushed per line.
void open_update_log(const std::string& app_dir);

// True once open_update_log has succeeded in this process.
bool update_log_is_open();

// Writes a fixed text verbatim (never interpreted as a format string).
void log_message(spdlog::level::level_enum level, const std::string& text);

// ---- Update transaction ---------------------------------------------------

// Applies the update and returns the exit code: 0 when the new files are in
// place, 1 when the update was not applied.
int apply_update(std::int32_t pid, const std::string& package_path,
                 const std::string& app_dir, const std::string& exe_name,
                 const std::string& version, const std::string& relaunch_args);

// ---- Application process control ------------------------------------------

constexpr int exit_timeout_ms = 30000;
constexpr int termination_grace_ms = 5000;

// Waits for the process to end, terminating it after exit_timeout_ms. The
// updater's own process id is never waited for.
void wait_for_process(std::int32_t pid);

// The platform's wait for a process other than the updater.
void wait_for_other_process(std::int32_t pid);

// Starts the executable detached, with its own directory as working
// directory; the outcome is only logged.
void launch_process(const std::filesystem::path& exe_path,
                    const std::string& argument_string);

// The command line that launch_process logs: the quoted executable path,
// then a space and the argument string when that is not empty.
std::string build_command_line(const std::filesystem::path& exe_path,
                               const std::string& argument_string);

// Splits an argument string into words by POSIX shell quoting rules, with no
// expansion. Returns false on an unbalanced quote or a trailing backslash.
bool split_shell_words(const std::string& text, std::vector<std::string>& words);

// ---- Package extraction ---------------------------------------------------

// Extracts every entry of the zip package into dest_dir. Returns false after
// a logged failure; raises std::filesystem::filesystem_error when a
// directory can't be created.
bool extract_zip(const std::string& package_path, const std::string& dest_dir);

// Splits an entry name into path components, treating "/" and "\" alike and
// dropping empty and "." components. Returns false for a name that could
// leave the destination: absolute, with a drive prefix, or with "..".
bool safe_entry_components(const std::string& name, std::vector<std::string>& components);

// True when a symbolic link stored at the given components, pointing at
// target, resolves inside the destination root.
bool symlink_target_stays_inside(const std::vector<std::string>& link_components,
                                 const std::string& target);

// ---- Platform layer for names and directory operations --------------------

// Narrow strings (command line, log) and paths convert in the platform's
// narrow file-system encoding: the bytes themselves on POSIX systems, the
// process's code page on Windows (UTF-8 by the program's manifest from
// Windows 10 version 1903 on, the ANSI code page before). A string or path
// that the encoding can't represent raises std::filesystem::filesystem_error
// rather than naming a wrong file.
std::filesystem::path path_from_narrow(const std::string& narrow);
std::string narrow_from_path(const std::filesystem::path& path);

// Raises std::filesystem::filesystem_error when the narrow argument vector
// lost characters that the encoding can't represent (Windows).
void check_narrow_command_line();

// The zip library reads the paths it opens as UTF-8.
std::string narrow_to_utf8(const std::string& narrow);

// Renames a file or directory of the update, replacing a file (never a
// directory) at the new name. Where other programs may hold files inside it
// for a moment (Windows), the rename is retried for a while.
void rename_entry(const std::filesystem::path& from, const std::filesystem::path& to,
                  std::error_code& ec);

// Where a tree removal stopped: the entry it could not remove, and why.
struct removal_failure {
    std::filesystem::path where;
    std::error_code error;
};

// Whether a removal that other programs' open files get in the way of is
// retried like rename_entry, or tried once.
enum class busy_files { wait, give_up };

// Removes target and everything below it, at any depth, with a bounded
// number of open descriptors. A link (or any reparse point) is removed
// itself and never followed, so nothing outside the tree is touched;
// read-only entries are made writable first. A missing target is success.
bool remove_tree(const std::filesystem::path& target, removal_failure& failure,
                 busy_files busy = busy_files::wait);

// Creates a new regular file (never through a link, never reusing an
// existing one) holding content, and makes it reach stable storage.
bool write_new_file(const std::filesystem::path& file, const std::string& content, std::error_code& ec);

// The line end of text files on this platform.
extern const char* const text_line_end;

#ifdef _WIN32
// The processes that hold any of the files (full paths) open, as
// "app.exe (pid 1234), scanner.exe (pid 99)"; empty when none does or the
// Restart Manager can't tell.
std::string describe_file_holders(const std::vector<std::wstring>& files);
#endif

// ---- Platform layer for durability and exclusion --------------------------

// Makes a directory's entries (names created, renamed or removed in it)
// reach stable storage. False when the system reports an error.
bool sync_directory(const std::filesystem::path& dir);

// Makes everything written below dir (file data, directories) reach stable
// storage.
bool sync_tree(const std::filesystem::path& dir);

enum class lock_outcome { taken, busy, failed };

// Tries once to take an exclusive lock on the log file (creating it, but
// not emptying it), held until the process exits. The file must be a
// regular file reached without following a link. On busy or failed,
// reason says why.
lock_outcome try_lock_update_log(const std::filesystem::path& log_file, std::string& reason);

// The process id of the updater itself.
std::int32_t current_process_id();

// ---- Deflate decoding -----------------------------------------------------
// Entry data is inflated by one of two decoders, chosen by the build: the
// fast one where the machine's libraries offer it, zlib elsewhere. Both are
// streaming: nothing is ever held whole.

struct deflate_decoder;
struct deflate_decoder_deleter {
    void operator()(deflate_decoder* decoder) const;
};
using deflate_decoder_ptr = std::unique_ptr<deflate_decoder, deflate_decoder_deleter>;

// A decoder of raw deflate data (no zlib or gzip wrapper), or null when it
// can't be set up. One serves all entries of a package in turn.
deflate_decoder_ptr new_deflate_decoder();

// Makes the decoder ready for the start of a new stream.
bool restart_deflate_decoder(deflate_decoder& decoder);

struct inflate_window {
    const unsigned char* in;
    std::size_t in_size;
    char* out;
    std::size_t out_size;
};

enum class inflate_status { running, ended, damaged };

// Decodes from window.in into window.out and advances both past what it
// used. "running" may come back without any progress when the input is
// used up; the caller decides whether more is coming.
inflate_status inflate_some(deflate_decoder& decoder, inflate_window& window);

// The CRC-32 of zip entries (and gzip), continued from crc over data;
// start with 0.
std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size);

// ---- Platform layer for writing entries -----------------------------------
// Every operation works relative to the destination root and never follows
// a symbolic link in any component, so an entry can't be written outside it.

// Produces an entry's data a chunk at a time: points data at the next chunk,
// which stays valid until the next call, and returns its size, 0 at the
// end, or -1 on a read or verification error. The reader owns the buffers,
// so writing a file allocates nothing.
using read_chunk_fn = std::function<long long(const char*& data)>;

// Hands every chunk of an entry to write(data, size) in order; false as
// soon as reading or writing fails.
template <class Write>
bool for_each_chunk(const read_chunk_fn& read_chunk, Write write)
{
    for (;;) {
        const char* chunk = nullptr;
        const long long got = read_chunk(chunk);
        if (got <= 0)
            return got == 0;
        if (!write(chunk, static_cast<std::size_t>(got)))
            return false;
    }
}

// False for a name component that the platform's file system would not
// take literally (on Windows: stream names, device names, trailing dots).
bool platform_allows_component(const std::string& component);

// Permission bits recorded for an entry, or no_recorded_mode.
constexpr unsigned no_recorded_mode = ~0u;

// Creates the directory chain root/components[0]/... and raises
// filesystem_error("create_directories", ...) when that is not possible.
void create_entry_directories(const std::filesystem::path& root,
                              const std::vector<std::string>& components,
                              unsigned mode);

// Writes a regular file at root/components from read_chunk, replacing an
// existing non-directory entry. Missing parent directories are created as by
// create_entry_directories, which raises when one can't be.
bool write_entry_file(const std::filesystem::path& root,
                      const std::vector<std::string>& components, unsigned mode,
                      std::time_t mtime, const read_chunk_fn& read_chunk);

// Creates a symbolic link at root/components pointing at target; parents
// as for write_entry_file.
bool write_entry_symlink(const std::filesystem::path& root,
                         const std::vector<std::string>& components,
                         const std::string& target);
