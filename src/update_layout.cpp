// The application root's layout: its names, the state a run finds it in,
// the recovery from every such state, and the durable changes the update
// transaction makes to it.
//
// While `current.bak` exists, the marker `current.incomplete` says that
// `current` is not known to be complete. It is created before a new
// `current` and removed only once that is complete (or the old application
// is back in `current`), so a run killed at any instant leaves a layout the
// next run repairs to a complete application. A version waits beside
// `.version` meanwhile: the staged `.version.new` goes in place once the new
// files are committed, the previous `.version.old` goes back when a start
// check's rollback brings the old files back. A backup is renamed out of
// the layout before it is removed, so that no run can find it half removed
// and restore it. A copy prepared ahead, `current.new`, counts only once its
// record `current.new.ready` is written, after the copy is durable.
#include "update_layout.h"

#include "digest.h"
#include "updater.h"

#include <sstream>

namespace fs = std::filesystem;

namespace {

// What can't be removed is renamed to this prefix and a number, so that the
// name it held is free for the next step; every run tries to remove it.
constexpr const char* set_aside_prefix = "updater.trash.";

fs::path root_directory(const layout_paths& paths)
{
    return paths.root.empty() ? fs::path(".") : paths.root;
}

void warn_removal_failed(const removal_failure& failure)
{
    spdlog::warn("Failed to remove {}: {}", narrow_for_log(failure.where), failure.error.message());
}

fs::path free_set_aside_name(const layout_paths& paths)
{
    for (unsigned number = 1;; ++number) {
        const fs::path candidate = paths.root / (set_aside_prefix + std::to_string(number));
        if (!is_present(candidate))
            return candidate;
    }
}

// Tries again to remove what earlier runs moved aside; quiet unless that
// fails again. Whatever held it then may still hold it: one attempt, no
// waiting.
void remove_set_aside(const layout_paths& paths)
{
    const fs::path::string_type prefix = fs::path(set_aside_prefix).native();
    std::error_code ec;
    for (const fs::path& name : directory_names(root_directory(paths), ec)) {
        if (name.native().compare(0, prefix.size(), prefix) != 0)
            continue;
        removal_failure failure;
        if (!remove_tree(paths.root / name, failure, busy_files::give_up))
            warn_removal_failed(failure);
    }
}

// Only a regular file can be a version the updater wrote: a link or a pipe
// left at a waiting name is never put in place.
bool is_version_file(const fs::path& file)
{
    return entry_type_of(file) == entry_type::file;
}

// Puts a version waiting beside `.version` in place, or drops it when the
// files it belongs to are not the ones that stay. True once nothing waits
// at the name any more. A version that can't be put in place may wait for
// one more try by the next run, where a regular `.version` (one that a
// passing fault kept from being replaced) is in the way; what is in the way
// for good (a directory, or what Wine can't replace) is never waited for,
// and neither is a version that failed once more: a `.version` that can't
// be written must never stop every later update.
bool settle_version(const layout_paths& paths, const fs::path& waiting, bool goes_with_the_files,
                    if_blocked blocked)
{
    if (goes_with_the_files) {
        std::error_code ec;
        rename_entry(waiting, paths.version, ec);
        if (!ec) {
            sync_root(paths);
            return true;
        }
        spdlog::warn("Failed to write {}: {}", narrow_for_log(paths.version), ec.message());
        if (blocked == if_blocked::wait_for_next_run && entry_type_of(paths.version) == entry_type::file)
            return false;
    }
    return clear_name(paths, waiting);
}

// Removes the marker once the old application is back in `current`. A
// version still waiting beside `.version` keeps it there: without the
// marker a later run would put a staged version in place beside the old
// files, or drop the previous one.
void unmark_old_application(const layout_paths& paths)
{
    if (settle_staged_version(paths, false) && !is_present(paths.previous_version))
        remove_marker(paths);
}

// A complete `current`: a real directory (not a link to one, not a file)
// that holds something and can be read; what can't be read is not trusted.
bool is_complete_tree(const fs::path& dir)
{
    if (entry_type_of(dir) != entry_type::directory)
        return false;
    std::error_code ec;
    return !directory_is_empty(dir, ec) && !ec;
}

// ---- Recovery -----------------------------------------------------------------

// Each row: the state a row applies to, and its repair, tried in this order
// on the state found at the start (the versions first: restoring a backup
// and removing the marker look at what still waits beside `.version`).
//
// Which files stay decides for both versions: the old ones are back, or
// come back, where the marker is there, or a backup is beside a `current`
// that is not complete.
//
//   found                                      repair
//   .version.new, new files stay               put in place: its files were committed
//   .version.new, old files come back          drop it
//   .version.old, old files come back          put back: a rollback was under way
//   .version.old, new files stay               drop it
//   the marker, no backup                      remove the marker: a rollback got so far
//   backup, no marker, complete current        leftover backup: discard it
//   backup, marker or no complete current      stale backup: restore it
//   current.new without its record             a preparation cut short: remove it
//   a record without current.new               remove it

bool old_files_come_back(const layout_state& found)
{
    return found.marked || (found.backup && !found.live_complete);
}

void settle_waiting_versions(const layout_paths& paths, const layout_state& found)
{
    const bool old_files = old_files_come_back(found);
    if (found.staged_version)
        settle_staged_version(paths, !old_files);
    if (found.previous_version)
        settle_previous_version(paths, old_files);
}

bool repair_backup(const layout_paths& paths, const layout_state& found)
{
    if (!found.backup) {
        if (found.marked)
            unmark_old_application(paths);
        return true;
    }
    if (!old_files_come_back(found)) {
        log_message(spdlog::level::info, "Removing leftover current.bak from previous update");
        discard_tree(paths, paths.backup);
        return true;
    }
    if (found.marked)
        log_message(spdlog::level::warn, "Found incomplete current from an interrupted update");
    log_message(spdlog::level::warn, "Found stale backup, restoring current from current.bak");
    return restore_backup(paths);
}

void repair_prepared_copy(const layout_paths& paths, const layout_state& found)
{
    if (found.prepared && !found.prepared_record) {
        log_message(spdlog::level::warn, "Removing incomplete current.new from an interrupted preparation");
        discard_tree(paths, paths.prepared);
    } else if (found.prepared_record && !found.prepared) {
        clear_name(paths, paths.prepared_record);
    }
}

// ---- The prepared copy's record ---------------------------------------------------

bool bytes_of_hex(const std::string& hex, std::string& bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    bytes.clear();
    for (std::size_t at = 0; at < hex.size(); at += 2) {
        unsigned value = 0;
        std::istringstream digits(hex.substr(at, 2));
        if (!(digits >> std::hex >> value) || !digits.eof())
            return false;
        bytes += static_cast<char>(value);
    }
    return true;
}

// The record's lines: the version and the main executable's name in
// hexadecimal (they may hold anything, and the name may be empty, written
// as "-"), the package's SHA-256 or "-", its identity, and the copy's
// entries and bytes.
std::string record_text(const prepared_source& source)
{
    const auto field = [](const std::string& text) { return text.empty() ? std::string("-") : hex_digits(text.data(), text.size()); };
    const file_identity& id = source.package;
    std::ostringstream text;
    text << "version " << field(source.version) << "\nexecutable " << field(source.main_executable) << "\nsha256 "
         << (source.sha256.empty() ? "-" : source.sha256) << "\npackage " << id.device << ' ' << id.file_high << ' '
         << id.file_low << ' ' << id.size << ' ' << id.modified << ' ' << id.changed << "\ncontents "
         << source.contents.entries << ' ' << source.contents.bytes << "\n";
    return text.str();
}

bool parse_record(const std::string& text, prepared_source& source)
{
    std::istringstream in(text);
    std::string labels[5], version, executable, sha256, rest;
    file_identity& id = source.package;
    in >> labels[0] >> version >> labels[1] >> executable >> labels[2] >> sha256 >> labels[3] >> id.device >>
        id.file_high >> id.file_low >> id.size >> id.modified >> id.changed >> labels[4] >>
        source.contents.entries >> source.contents.bytes;
    const auto field = [](const std::string& hex, std::string& text) {
        text.clear();
        return hex == "-" || bytes_of_hex(hex, text);
    };
    source.sha256 = sha256 == "-" ? "" : sha256;
    return in && !(in >> rest) && labels[0] == "version" && labels[1] == "executable" && labels[2] == "sha256" &&
           labels[3] == "package" && labels[4] == "contents" && field(version, source.version) &&
           field(executable, source.main_executable);
}

// A record is a few short lines; anything far longer is not one.
constexpr std::size_t record_size_limit = 1 << 20;

}  // namespace

layout_paths make_layout_paths(const std::string& app_dir)
{
    const fs::path root = path_from_narrow(app_dir);
    return {root,
            root / "current",
            root / "current.bak",
            root / "current.incomplete",
            root / ".version",
            root / ".version.new",
            root / ".version.old",
            root / ".update-confirmed",
            root / "current.new",
            root / "current.new.ready",
            // A set-aside name: every run removes what a stopped one left.
            root / (std::string(set_aside_prefix) + "package")};
}

layout_state read_layout(const layout_paths& paths)
{
    return {is_present(paths.marker),         is_present(paths.backup),
            is_complete_tree(paths.live),     is_present(paths.staged_version),
            is_present(paths.previous_version), is_present(paths.prepared),
            is_present(paths.prepared_record)};
}

bool recover_layout(const layout_paths& paths)
{
    // Before anything changes: of a name found in several spellings that
    // are one name to the system (Wine), it can't be told which is meant.
    if (!each_spelled_once({paths.live, paths.backup, paths.marker, paths.version, paths.staged_version,
                            paths.previous_version, paths.confirmation, paths.prepared, paths.prepared_record}))
        return false;
    remove_set_aside(paths);
    const layout_state found = read_layout(paths);
    settle_waiting_versions(paths, found);
    if (!repair_backup(paths, found))
        return false;
    repair_prepared_copy(paths, found);
    return true;
}

bool is_present(const fs::path& path)
{
    return entry_type_of(path) != entry_type::absent;
}

// Where a failure could leave the layout ambiguous after a power loss the
// caller treats it as a failed step; elsewhere it is worth a warning and
// nothing more.
bool sync_root(const layout_paths& paths)
{
    if (sync_directory(root_directory(paths)))
        return true;
    spdlog::warn("Failed to sync {}", narrow_for_log(paths.root));
    return false;
}

bool clear_name(const layout_paths& paths, const fs::path& target)
{
    removal_failure failure;
    if (remove_tree(target, failure))
        return true;
    warn_removal_failed(failure);
    const fs::path aside = free_set_aside_name(paths);
    std::error_code ec;
    rename_entry(target, aside, ec);
    if (ec) {
        spdlog::warn("Failed to move {} aside: {}", narrow_for_log(target), ec.message());
        return false;
    }
    spdlog::warn("Moved {} aside to {}", narrow_for_log(target), narrow_for_log(aside));
    sync_root(paths);
    return true;
}

// A run stopped during the removal leaves only a set-aside name, which
// every run clears. Where the rename fails the tree is removed in place.
void discard_tree(const layout_paths& paths, const fs::path& target)
{
    const fs::path aside = free_set_aside_name(paths);
    std::error_code ec;
    rename_entry(target, aside, ec);
    if (ec) {
        clear_name(paths, target);
        return;
    }
    sync_root(paths);
    removal_failure failure;
    if (remove_tree(aside, failure))
        return;
    warn_removal_failed(failure);
    spdlog::warn("Moved {} aside to {}", narrow_for_log(target), narrow_for_log(aside));
}

// A new file beside it, then a rename over it, so that whatever was at the
// name (a link, a pipe) is replaced, never written through. What can't be
// removed from the name is moved aside, so that nothing left there can block
// every later update.
bool write_new_root_file(const layout_paths& paths, const fs::path& file, const std::string& content,
                         std::error_code& ec)
{
    if (!clear_name(paths, file)) {
        ec = std::make_error_code(std::errc::file_exists);
        return false;
    }
    return write_new_file(file, content, ec);
}

bool create_marker(const layout_paths& paths)
{
    std::error_code ec;
    if (!clear_name(paths, paths.marker) || !write_new_file(paths.marker, "", ec)) {
        spdlog::error("Failed to create {}", narrow_for_log(paths.marker));
        return false;
    }
    // The marker must be on disk before anything of the new `current` is.
    return sync_root(paths);
}

bool remove_marker(const layout_paths& paths)
{
    return clear_name(paths, paths.marker);
}

bool settle_staged_version(const layout_paths& paths, bool committed, if_blocked blocked)
{
    return settle_version(paths, paths.staged_version, committed && is_version_file(paths.staged_version), blocked);
}

bool settle_previous_version(const layout_paths& paths, bool rolling_back)
{
    return settle_version(paths, paths.previous_version, rolling_back, if_blocked::give_up);
}

bool restore_backup(const layout_paths& paths)
{
    // Whatever is in the way (a partial `current`, or something that is not
    // a directory at all) goes; if it can't, the rename below says so.
    if (is_present(paths.live))
        clear_name(paths, paths.live);
    std::error_code ec;
    rename_entry(paths.backup, paths.live, ec);
    if (ec) {
        spdlog::error("Failed to restore from backup: {}", ec.message());
        return false;
    }
    // The rename is made durable before the marker goes, so the marker never
    // outlives a partial `current`.
    sync_root(paths);
    unmark_old_application(paths);
    sync_root(paths);
    return true;
}

bool write_prepared_record(const layout_paths& paths, const prepared_source& source)
{
    std::error_code ec;
    if (!write_new_root_file(paths, paths.prepared_record, record_text(source), ec)) {
        spdlog::error("Failed to write {}: {}", narrow_for_log(paths.prepared_record), ec.message());
        return false;
    }
    return sync_root(paths);
}

bool read_prepared_record(const layout_paths& paths, prepared_source& source)
{
    std::string text;
    std::error_code ec;
    return read_root_file(paths.prepared_record, record_size_limit, text, ec) && parse_record(text, source);
}

void remove_prepared_copy(const layout_paths& paths)
{
    if (clear_name(paths, paths.prepared_record))
        sync_root(paths);
    discard_tree(paths, paths.prepared);
}
