// The application root's layout: its names, the named layouts a run finds
// it in, the repair of each, and the durable changes the update
// transaction makes to it.
//
// While `current.bak` exists, the marker `current.incomplete` says that
// `current` is not known to be complete. It is created before a new
// `current` and removed only once that is complete (or the old application
// is back in `current`), so a run killed at any instant leaves a layout the
// next run repairs to a complete application. A version waits beside
// `.version` meanwhile, and goes with the files that stay: the staged
// `.version.new` goes in place once the new files are committed; while a
// start check runs, the previous `.version.old` (or `.version.none`, where
// there was no `.version`) says what a rollback gives `.version` back. A
// backup is renamed out of the layout before it is removed, so that no run
// can find it half removed and restore it. A copy prepared ahead,
// `current.new`, counts only once its record `current.new.ready` is
// written, after the copy is durable.
#include "update_layout.h"

#include "digest.h"
#include "protocol.h"
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

void warn_removal_failed(const path_failure& failure)
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

// What earlier runs moved aside; nothing, where the root can't be listed
// (the run then fails on the names it needs).
std::vector<fs::path> set_aside_names(const layout_paths& paths)
{
    const fs::path::string_type prefix = fs::path(set_aside_prefix).native();
    std::vector<directory_entry> entries;
    std::error_code ec;
    std::vector<fs::path> found;
    if (list_directory(root_directory(paths), entries, ec))
        for (const directory_entry& entry : entries)
            if (entry.name.native().compare(0, prefix.size(), prefix) == 0)
                found.push_back(paths.root / entry.name);
    return found;
}

// Tries again to remove what earlier runs moved aside; quiet unless that
// fails again. Whatever held it then may still hold it: one attempt, no
// waiting.
void remove_set_aside(const layout_paths& paths)
{
    for (const fs::path& aside : set_aside_names(paths)) {
        path_failure failure;
        if (!remove_tree(aside, failure, busy_files::give_up))
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
// at the name any more. A version that can't be put in place waits for the
// next run to try again, kept beside `.version` (and, where the old files
// stay, by the marker): dropped, it would leave a `.version` that names the
// other files. Only what is in the way for good (a directory, a mount, what
// Wine can't replace) is never waited for, so that a `.version` that can't
// be written never stops every later update; a waiting version stops none
// either, as the next update's own replaces it.
bool settle_version(const layout_paths& paths, const fs::path& waiting, bool goes_with_the_files)
{
    if (goes_with_the_files) {
        std::error_code ec;
        if (move_in_root(paths, waiting, paths.version, ec))
            return true;
        spdlog::warn("Failed to write {}: {}", narrow_for_log(paths.version), ec.message());
        const entry_type in_the_way = entry_type_of(paths.version);
        if (in_the_way == entry_type::absent || in_the_way == entry_type::file)
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
    if (settle_staged_version(paths, false) && !is_present(paths.previous_version) &&
        !is_present(paths.no_previous_version))
        // A marker that stays is removed by the next run (rollback_cut_short).
        (void)remove_marker(paths);
}

// A complete `current`: a real directory (not a link to one, not a file)
// that holds something and can be read; what can't be read is not trusted.
bool is_complete_tree(const fs::path& dir)
{
    if (entry_type_of(dir) != entry_type::directory)
        return false;
    std::vector<directory_entry> entries;
    std::error_code ec;
    return list_directory(dir, entries, ec) && !entries.empty();
}

// "a", "a and b", "a, b and c"
std::string listed(const std::vector<fs::path>& names)
{
    std::string text;
    for (std::size_t at = 0; at < names.size(); ++at)
        text += (at == 0 ? "" : at + 1 == names.size() ? " and " : ", ") + narrow_for_log(names[at]);
    return text;
}

// Before anything changes: of a name found in several spellings that are
// one name to the system (Wine), it can't be told which is meant, so the
// run ends with a line for each that says what to do.
bool each_spelled_once(const std::vector<fs::path>& names)
{
    bool once = true;
    for (const fs::path& name : names) {
        const std::vector<fs::path> spellings = spellings_of_one_name(name);
        if (spellings.empty())
            continue;
        spdlog::error("{} holds {}, which Windows takes for one name; rename or remove all but the one that "
                      "belongs there",
                      narrow_for_log(name.parent_path()), listed(spellings));
        once = false;
    }
    return once;
}

// ---- Classifying --------------------------------------------------------------

application_layout classify_application(const layout_paths& paths)
{
    const bool marked = is_present(paths.marker);
    if (is_present(paths.backup)) {
        if (marked)
            return application_layout::update_cut_short;
        return is_complete_tree(paths.live) ? application_layout::update_committed : application_layout::stale_backup;
    }
    if (marked)
        return application_layout::rollback_cut_short;
    return entry_type_of(paths.live) == entry_type::directory ? application_layout::installed
                                                                : application_layout::no_application;
}

prepared_layout classify_prepared(const layout_paths& paths)
{
    const bool copy = is_present(paths.prepared);
    const bool record = is_present(paths.prepared_record);
    if (copy)
        return record ? prepared_layout::complete : prepared_layout::copy_cut_short;
    return record ? prepared_layout::record_alone : prepared_layout::none;
}

// ---- Repairing ------------------------------------------------------------------

// Each waiting version goes with the files that stay: the staged one goes
// in place with the new files, the previous one goes back with the old
// ones, and where there was none `.version` goes with the old ones. What
// can't be settled waits for the next run, kept there by the marker where
// the old files stay.
void repair_versions(const layout_paths& paths, const waiting_versions& found, bool old_files)
{
    if (found.staged)
        (void)settle_staged_version(paths, !old_files);
    if (found.previous)
        (void)settle_previous_version(paths, old_files);
    if (found.none_before)
        (void)settle_no_previous_version(paths, old_files);
}

bool repair_application(const layout_paths& paths, application_layout found)
{
    switch (found) {
    case application_layout::installed:
    case application_layout::no_application:
        return true;
    case application_layout::update_committed:
        log_message(spdlog::level::info, "Removing leftover current.bak from previous update");
        discard_tree(paths, paths.backup);
        return true;
    case application_layout::update_cut_short:
        log_message(spdlog::level::warn, "Found incomplete current from an interrupted update");
        [[fallthrough]];
    case application_layout::stale_backup:
        log_message(spdlog::level::warn, "Found stale backup, restoring current from current.bak");
        return restore_backup(paths);
    case application_layout::rollback_cut_short:
        unmark_old_application(paths);
        return true;
    }
    return true;
}

void repair_prepared(const layout_paths& paths, prepared_layout found)
{
    switch (found) {
    case prepared_layout::none:
    case prepared_layout::complete:
        return;
    case prepared_layout::copy_cut_short:
        log_message(spdlog::level::warn, "Removing incomplete current.new from an interrupted preparation");
        discard_tree(paths, paths.prepared);
        return;
    case prepared_layout::record_alone:
        // One that stays names no copy, and the next run tries again.
        (void)clear_name(paths, paths.prepared_record);
        return;
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
    const auto field = [](const std::string& text) {
        return text.empty() ? std::string("-") : hex_digits(text.data(), text.size());
    };
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
            root / ".version.none",
            root / protocol::confirmation_file_name,
            root / "current.new",
            root / "current.new.ready",
            // A set-aside name: every run removes what a stopped one left.
            root / (std::string(set_aside_prefix) + "package")};
}

root_layout classify_layout(const layout_paths& paths)
{
    root_layout found;
    found.application = classify_application(paths);
    found.versions = {is_present(paths.staged_version), is_present(paths.previous_version),
                      is_present(paths.no_previous_version)};
    found.prepared = classify_prepared(paths);
    found.set_aside = !set_aside_names(paths).empty();
    found.confirmation = is_present(paths.confirmation);
    return found;
}

bool old_files_stay(application_layout application)
{
    return application == application_layout::stale_backup || application == application_layout::update_cut_short ||
           application == application_layout::rollback_cut_short;
}

bool is_settled(const root_layout& layout)
{
    const waiting_versions& versions = layout.versions;
    return (layout.application == application_layout::installed ||
            layout.application == application_layout::no_application) &&
           !versions.staged && !versions.previous && !versions.none_before &&
           (layout.prepared == prepared_layout::none || layout.prepared == prepared_layout::complete);
}

// The versions first: restoring a backup and removing the marker look at
// what still waits beside `.version`.
bool repair_layout(const layout_paths& paths, const root_layout& found)
{
    if (found.set_aside)
        remove_set_aside(paths);
    repair_versions(paths, found.versions, old_files_stay(found.application));
    if (!repair_application(paths, found.application))
        return false;
    repair_prepared(paths, found.prepared);
    return true;
}

bool recover_layout(const layout_paths& paths)
{
    if (!each_spelled_once({paths.live, paths.backup, paths.marker, paths.version, paths.staged_version,
                            paths.previous_version, paths.no_previous_version, paths.confirmation, paths.prepared,
                            paths.prepared_record}))
        return false;
    return repair_layout(paths, classify_layout(paths));
}

bool is_present(const fs::path& path)
{
    return entry_type_of(path) != entry_type::absent;
}

// One walk over each level's listing, which the platform reads with the
// entries' kinds and sizes, never following a link.
bool measure_tree(const fs::path& dir, tree_measure& measure, std::error_code& ec)
{
    measure = {};
    std::vector<fs::path> pending{dir};
    std::vector<directory_entry> entries;
    while (!pending.empty()) {
        const fs::path at = std::move(pending.back());
        pending.pop_back();
        if (!list_directory(at, entries, ec))
            return false;
        for (const directory_entry& entry : entries) {
            ++measure.entries;
            if (entry.type == entry_type::directory)
                pending.push_back(at / entry.name);
            else if (entry.type == entry_type::file) {
                ++measure.files;
                measure.bytes += entry.size;
            }
        }
    }
    return true;
}

bool sync_root(const layout_paths& paths)
{
    if (sync_directory(root_directory(paths)))
        return true;
    spdlog::warn("Failed to sync {}", narrow_for_log(paths.root));
    return false;
}

bool clear_name(const layout_paths& paths, const fs::path& target)
{
    if (!is_present(target))
        return true;
    path_failure failure;
    if (remove_tree(target, failure))
        return sync_root(paths);
    warn_removal_failed(failure);
    const fs::path aside = free_set_aside_name(paths);
    std::error_code ec;
    if (!rename_entry(target, aside, ec)) {
        spdlog::warn("Failed to move {} aside: {}", narrow_for_log(target), ec.message());
        return false;
    }
    spdlog::warn("Moved {} aside to {}", narrow_for_log(target), narrow_for_log(aside));
    return sync_root(paths);
}

bool move_in_root(const layout_paths& paths, const fs::path& from, const fs::path& to, std::error_code& ec)
{
    if (!rename_entry(from, to, ec))
        return false;
    if (sync_root(paths))
        return true;
    ec = std::make_error_code(std::errc::io_error);
    return false;
}

// A run stopped during the removal leaves only a set-aside name, which
// every run clears. Where the rename fails the tree is removed in place;
// where it can't be made durable the tree waits aside for the next run, as
// a power loss could otherwise bring back its name with half of it.
void discard_tree(const layout_paths& paths, const fs::path& target)
{
    const fs::path aside = free_set_aside_name(paths);
    std::error_code ec;
    if (!move_in_root(paths, target, aside, ec)) {
        if (is_present(target))
            // What stays is reported, and the next run tries again.
            (void)clear_name(paths, target);
        return;
    }
    path_failure failure;
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
    if (!write_new_file(file, content, ec)) {
        // Its creation is flushed away with it, before any later change.
        (void)clear_name(paths, file);
        return false;
    }
    if (sync_root(paths))
        return true;
    ec = std::make_error_code(std::errc::io_error);
    return false;
}

bool create_marker(const layout_paths& paths)
{
    std::error_code ec;
    if (write_new_root_file(paths, paths.marker, "", ec))
        return true;
    spdlog::error("Failed to create {}", narrow_for_log(paths.marker));
    return false;
}

bool remove_marker(const layout_paths& paths)
{
    return clear_name(paths, paths.marker);
}

bool settle_staged_version(const layout_paths& paths, bool committed)
{
    return settle_version(paths, paths.staged_version, committed && is_version_file(paths.staged_version));
}

bool settle_previous_version(const layout_paths& paths, bool rolling_back)
{
    return settle_version(paths, paths.previous_version, rolling_back);
}

// Whether `.version` holds what the record says the update wrote there;
// false, with can_tell false, where either can't be read. Only regular
// files are the updater's: a record that is anything else says nothing.
bool holds_the_recorded_version(const layout_paths& paths, bool& can_tell)
{
    can_tell = true;
    if (!is_version_file(paths.no_previous_version) || !is_version_file(paths.version))
        return false;
    std::string recorded, installed;
    std::error_code ec;
    can_tell = read_root_file(paths.no_previous_version, record_size_limit, recorded, ec) &&
               read_root_file(paths.version, record_size_limit, installed, ec);
    return can_tell && installed == recorded;
}

// The record holds the version whose `.version` a rollback removes; only a
// `.version` that holds exactly that is removed, so that a record left from
// long ago (one that could not be removed) never takes a later version.
// Where that can't be told, the record waits for the next run. `.version`
// goes first: a run stopped in between would otherwise find the new one
// without the record that says to remove it.
bool settle_no_previous_version(const layout_paths& paths, bool rolling_back)
{
    if (rolling_back) {
        bool can_tell = true;
        const bool written_by_the_update = holds_the_recorded_version(paths, can_tell);
        if (!can_tell || (written_by_the_update && !clear_name(paths, paths.version)))
            return false;
    }
    return clear_name(paths, paths.no_previous_version);
}

bool record_no_previous_version(const layout_paths& paths, const std::string& version, std::error_code& ec)
{
    return write_new_root_file(paths, paths.no_previous_version, version + text_line_end, ec);
}

// The marker, there and on disk: a run stopped while the old files are put
// back must find them untrusted, whatever `current` holds then.
bool ensure_marker(const layout_paths& paths)
{
    return is_present(paths.marker) ? sync_root(paths) : create_marker(paths);
}

bool restore_backup(const layout_paths& paths)
{
    // Without the marker (a commit whose flush failed, a backup beside a
    // `current` that can't be read), a run stopped while `current` is
    // removed would leave part of it beside the backup, taken for new files
    // that stay; and a version staged for them would go in place.
    if (!ensure_marker(paths)) {
        spdlog::error("Failed to restore from backup: {} could not be created", narrow_for_log(paths.marker));
        return false;
    }
    // Whatever is in the way (a partial `current`, or something that is not
    // a directory at all) goes; if it can't, the rename below says so.
    if (is_present(paths.live))
        (void)clear_name(paths, paths.live);
    std::error_code ec;
    if (!rename_entry(paths.backup, paths.live, ec)) {
        spdlog::error("Failed to restore from backup: {}", ec.message());
        return false;
    }
    // The rename is made durable before the marker goes, so the marker never
    // outlives a partial `current`; where it can't be, the marker stays and
    // the next run removes it.
    if (sync_root(paths))
        unmark_old_application(paths);
    return true;
}

bool write_prepared_record(const layout_paths& paths, const prepared_source& source)
{
    std::error_code ec;
    if (write_new_root_file(paths, paths.prepared_record, record_text(source), ec))
        return true;
    spdlog::error("Failed to write {}: {}", narrow_for_log(paths.prepared_record), ec.message());
    return false;
}

bool read_prepared_record(const layout_paths& paths, prepared_source& source)
{
    std::string text;
    std::error_code ec;
    return read_root_file(paths.prepared_record, record_size_limit, text, ec) && parse_record(text, source);
}

void remove_prepared_copy(const layout_paths& paths)
{
    // A record that stays names no copy, and the next run removes it.
    (void)clear_name(paths, paths.prepared_record);
    discard_tree(paths, paths.prepared);
}
