// The platform layer: what the parts need from the operating system, with
// one implementation per platform (the *_posix.cpp and *_win32.cpp files).
// Names and paths, renames and removals, durability, the log's lock, the
// processes, the reading of the package and the writing of extracted
// entries.
#pragma once

#include "scope_exit.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

// ---- Names and paths --------------------------------------------------------

// Narrow strings (command line, log) and paths convert in the platform's
// narrow file-system encoding: the bytes themselves on POSIX systems, the
// process's code page on Windows (UTF-8 by the program's manifest from
// Windows 10 version 1903 on, the ANSI code page before). A string or path
// that the encoding can't represent raises std::filesystem::filesystem_error
// rather than naming a wrong file.
std::filesystem::path path_from_narrow(const std::string& narrow);
std::string narrow_from_path(const std::filesystem::path& path);

// A path as log lines show it: like narrow_from_path, but what the encoding
// can't represent is replaced instead of failing, so reporting a name can
// never stop a run.
std::string narrow_for_log(const std::filesystem::path& path);

// Raises std::filesystem::filesystem_error when the narrow argument vector
// lost characters that the encoding can't represent (Windows).
void check_narrow_command_line();

// The package path as the zip library opens it: UTF-8, and on Windows in
// the extended-length form when it is long.
std::string package_path_for_zip(const std::string& narrow);

// ---- Looking at and changing the application root ---------------------------

// What is at a path, looked at without following a link: a link to a
// directory is "other", never "directory", and a link to a file "other",
// never "file" (a regular file). Raises std::filesystem::filesystem_error
// when it can't be looked at.
enum class entry_type { absent, directory, file, other };
entry_type entry_type_of(const std::filesystem::path& path);

// The spellings in which the directory of name holds it, where it holds
// more than one that the system takes for this one name, so that which of
// them a call would act on can't be told: under Wine, whose directories
// are Unix ones that can hold `current` beside `Current`, and which looks a
// name that is not there exactly up regardless of case. Empty otherwise,
// and always on POSIX systems, where a name in another case is another
// name, and on Windows itself.
std::vector<std::filesystem::path> spellings_of_one_name(const std::filesystem::path& name);
// An entry of a directory, looked at without following a link.
struct directory_entry {
    std::filesystem::path name;
    entry_type type;
    std::uint64_t size;  // of a regular file; 0 for the others
};

// The entries of a directory but "." and ".."; false, with ec set, when it
// can't be read.
[[nodiscard]] bool list_directory(const std::filesystem::path& dir, std::vector<directory_entry>& entries,
                                  std::error_code& ec);

// Creates a directory and its missing parents; an existing directory is
// fine. Raises std::filesystem::filesystem_error("create_directories", ...)
// when that is not possible.
void create_directory_tree(const std::filesystem::path& dir);

// Renames a file or directory of the update, replacing a file (never a
// directory) at the new name. Where other programs may hold files inside it
// for a moment (Windows), the rename is retried for a while.
[[nodiscard]] bool rename_entry(const std::filesystem::path& from, const std::filesystem::path& to,
                                std::error_code& ec);

// Where an operation on a tree stopped: the entry it could not remove or
// create, and why.
struct path_failure {
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
[[nodiscard]] bool remove_tree(const std::filesystem::path& target, path_failure& failure,
                               busy_files busy = busy_files::wait);

// Creates a new regular file (never through a link, never reusing an
// existing one) holding content, and makes it reach stable storage.
[[nodiscard]] bool write_new_file(const std::filesystem::path& file, const std::string& content,
                                  std::error_code& ec);

// Reads a small regular file of the application root, never through a link
// and never waiting on a pipe or device; false, with ec set, when there is
// no such file, it holds more than max_size bytes, or it can't be read.
[[nodiscard]] bool read_root_file(const std::filesystem::path& file, std::size_t max_size, std::string& content,
                                  std::error_code& ec);

// The line end of text files on this platform.
extern const char* const text_line_end;

// ---- Durability and exclusion -------------------------------------------------

// Makes a directory's entries (names created, renamed or removed in it)
// reach stable storage. False when the system reports an error.
[[nodiscard]] bool sync_directory(const std::filesystem::path& dir);

// A hold on a tree about to be written, taken before the writes. Syncing
// through it reports every write below the tree that failed since it was
// taken, even one that a flush in between has seen (Linux reports the
// write errors of a file system once per open file).
struct tree_hold;
struct tree_hold_closer {
    void operator()(tree_hold* hold) const;
};
using tree_hold_ptr = std::unique_ptr<tree_hold, tree_hold_closer>;

// Null when dir can't be opened.
[[nodiscard]] tree_hold_ptr hold_tree(const std::filesystem::path& dir);

// Makes everything written below the held tree (file data, directories)
// reach stable storage. False when that failed.
[[nodiscard]] bool sync_tree(tree_hold& tree);

// Makes what has been written below the tree so far reach stable storage,
// and reports nothing: a head start for sync_tree through another hold,
// which alone tells whether the writes are durable.
void flush_written_so_far(tree_hold& tree);

enum class lock_outcome { taken, busy, failed };

// Tries once to take an exclusive lock on the log file, creating it. The
// file must be a regular file of its own (no other hard link), reached
// without following a link. Once the lock is taken the file is emptied and
// stream is set to write it; both stay open, and the lock held, until the
// process exits. When it failed, error says why.
[[nodiscard]] lock_outcome lock_update_log(const std::filesystem::path& log_file, std::FILE*& stream, std::error_code& error);

// ---- Processes ----------------------------------------------------------------

// Lets the calling thread run only where the process's other threads leave
// a processor idle.
void yield_processors_to_other_threads();

// Writes a line to standard output, for the program that started the
// updater; nothing happens, and nothing stops the updater, where nobody
// reads it.
void write_to_caller(const std::string& line);

// The process id of the updater itself.
std::int32_t current_process_id();

struct opened_process;
struct opened_process_closer {
    void operator()(opened_process* process) const;
};
using opened_process_ptr = std::unique_ptr<opened_process, opened_process_closer>;

// How far the updater may act on another process: a process may let it
// wait without letting it terminate (one that runs elevated on Windows, or
// another user's).
enum class process_access { wait_and_terminate, wait_only, refused, not_found };

// Opens a process to wait for it and, where access allows, to terminate it.
// Null unless access is one of the first two.
[[nodiscard]] opened_process_ptr open_process(std::int32_t pid, process_access& access);

// Waits up to timeout_ms for the process to end; true when it has, or when
// the wait itself failed (the caller then takes it as ended).
[[nodiscard]] bool wait_for_exit(opened_process& process, int timeout_ms);

// Terminates the process (exit code 1 where exit codes are set).
void terminate_process(opened_process& process);

// Starts the executable detached, with its own directory as working
// directory and the argument string as the platform passes arguments; the
// command line is the one launch_process logs. False, with ec holding the
// platform's error code, when it could not be started.
[[nodiscard]] bool start_detached(const std::filesystem::path& exe_path, const std::string& argument_string,
                                  const std::string& command_line, std::error_code& ec);

// Starts the executable as start_detached does, but keeps hold of it, so
// that the updater can wait for it, terminate it and learn its exit code:
// on POSIX systems it is a direct child (in a session of its own) instead of
// a grandchild. Null, with ec holding the platform's error code, when it
// could not be started.
[[nodiscard]] opened_process_ptr start_watched(const std::filesystem::path& exe_path,
                                               const std::string& argument_string, const std::string& command_line,
                                               std::error_code& ec);

// The exit code of a process from start_watched that wait_for_exit found
// ended. On POSIX systems this reaps it, and an end by a signal counts as
// 128 plus the signal's number, as shells report it.
unsigned long exit_code_of(opened_process& process);

// Terminates what a process from start_watched started, directly or not,
// and still runs, and waits up to timeout_ms for it to end: on Windows the
// processes of the job it was started in, on POSIX systems every process
// orphaned below it, which the updater adopts once it starts one to watch.
void end_descendants(opened_process& process, int timeout_ms);

// ---- Reading the package ------------------------------------------------------

// The package opened for reads at given offsets. Each worker that extracts
// entries reads through one of its own.
struct package_file;
struct package_file_closer {
    void operator()(package_file* file) const;
};
using package_file_ptr = std::unique_ptr<package_file, package_file_closer>;

// Which file a path leads to and the state of its content, known without
// reading it: the file's id on its device, its size, the time it was last
// written and the time it was last changed in any way. A program that
// rewrites a file and sets its modification time back still moves the
// change time, which only the system sets.
struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t file_high = 0;
    std::uint64_t file_low = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in the platform's units
    std::int64_t changed = 0;
};
inline bool operator==(const file_identity& a, const file_identity& b)
{
    return a.device == b.device && a.file_high == b.file_high && a.file_low == b.file_low && a.size == b.size &&
           a.modified == b.modified && a.changed == b.changed;
}

// The identity of the file at the path given on the command line (a link
// is followed); false, with ec set, when it can't be looked at.
[[nodiscard]] bool identify_file(const std::string& narrow_path, file_identity& identity, std::error_code& ec);

// The package held while it is hashed and extracted, so that the bytes
// extracted are the bytes hashed even where someone else can write it. On
// Windows the package itself, opened so that nobody may write, rename or
// delete it until the hold goes. On POSIX systems the package itself where
// only the updater's own user (or the administrator) can change it or any
// directory above it, and otherwise a private copy at private_copy, removed
// again with the hold.
struct package_hold;
struct package_hold_closer {
    void operator()(package_hold* hold) const;
};
using package_hold_ptr = std::unique_ptr<package_hold, package_hold_closer>;

// Sets read_path to the path to read the package from while held, and
// why_copied to why a private copy was made (empty when none was). Null,
// with ec set, when the package could not be held.
[[nodiscard]] package_hold_ptr hold_package(const std::string& narrow_path,
                                            const std::filesystem::path& private_copy, std::string& read_path,
                                            std::string& why_copied, std::error_code& ec);

// Opens the package at the path given on the command line; null when it
// can't be opened.
[[nodiscard]] package_file_ptr open_package_file(const std::string& narrow_path);

// True when count more descriptors (handles) can be open at once. A worker
// that runs out of them while it writes fails entries that fewer workers
// would have extracted.
bool handles_to_spare(std::size_t count);

// The package's size in bytes; false when the system can't tell it.
[[nodiscard]] bool package_file_size(const package_file& file, std::uint64_t& size);

// Reads size bytes from offset into data, fewer only where the file ends;
// returns the count read, or -1 on an error.
long long read_package_at(const package_file& file, std::uint64_t offset, void* data, std::size_t size);

// Asks the system to bring size bytes from offset into memory ahead of the
// reads that will want them; only a hint, which may do nothing.
void read_package_ahead(const package_file& file, std::uint64_t offset, std::uint64_t size);

// ---- Writing extracted entries ------------------------------------------------
// Every operation works relative to the destination root and never follows
// a symbolic link in any component, so an entry can't be written outside it.

// False for a name component that the platform's file system would not
// take literally (on Windows: stream names, device names, trailing dots).
bool platform_allows_component(const std::string& component);

// The form of a name component under which the file system looks it up:
// components that may name the same entry have the same key. On POSIX
// systems the component with ASCII letters in lower case (some file
// systems ignore case); on Windows its upper-case form.
// Empty when the file system may take the component for one spelled
// otherwise in a way no key shows (a short name on Windows).
std::string name_lookup_key(const std::string& component);

// Reads once what the writers take from the process as a whole: on POSIX
// systems the umask, which can be read only by changing it for a moment,
// when a file another thread creates would escape it. Called before
// entries are written from several threads.
void prepare_entry_writers();

// Permission bits recorded for an entry, or no_recorded_mode.
constexpr unsigned no_recorded_mode = ~0u;

// Creates the directory chain root/components[0]/...; false, with failure
// naming the level that could not be created or opened as a directory,
// when that is not possible.
[[nodiscard]] bool create_entry_directories(const std::filesystem::path& root,
                                            const std::vector<std::string>& components, unsigned mode,
                                            path_failure& failure);

// A regular file being extracted. Closed when it goes; a file not finished
// stays as far as it was written.
struct entry_file;
struct entry_file_closer {
    void operator()(entry_file* file) const;
};
using entry_file_ptr = std::unique_ptr<entry_file, entry_file_closer>;

// Creates a new regular file at root/components, replacing an existing
// non-directory entry; null when it can't be created. Missing parent
// directories are created as by create_entry_directories; where one can't
// be, directory_failure says so (its error is set).
[[nodiscard]] entry_file_ptr create_entry_file(const std::filesystem::path& root,
                                               const std::vector<std::string>& components, unsigned mode,
                                               path_failure& directory_failure);

// Appends data to the file; false when it can't be written.
[[nodiscard]] bool write_entry_data(entry_file& file, const char* data, std::size_t size);

// Sets the modification time, writes the file out for the durability step
// and closes it; false when any of that fails.
[[nodiscard]] bool finish_entry_file(entry_file_ptr file, std::time_t mtime);

// Creates a symbolic link at root/components pointing at target; parents
// as for create_entry_file.
[[nodiscard]] bool write_entry_symlink(const std::filesystem::path& root, const std::vector<std::string>& components,
                                       const std::string& target, path_failure& directory_failure);
