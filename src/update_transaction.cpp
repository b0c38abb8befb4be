// The update transaction: repair what an interrupted run left, swap `current`
// for the extracted package with `current.bak` as the backup, and roll back
// when the new files can't be put in place.
//
// While `current.bak` exists, a marker file next to it says that `current` is
// not known to be complete. It is created before the new `current` and
// removed only once the package is fully extracted (or the old application
// is back in `current`), so a run killed at any instant leaves a layout the
// next run repairs to a complete application. The new version string waits
// beside `.version` from before the extraction until that moment, so that it
// goes with the files. A backup is renamed out of the layout before it is
// removed, so that no run can find it half removed and restore it.
//
// With a start check the backup outlives the start of the new application
// until that confirms it; a new application that does not is replaced by the
// backup again, the marker marking the new files as untrusted once more
// while that happens, and the previous `.version`, kept aside meanwhile, is
// put back.
#include "updater.h"

#include "platform.h"

namespace {

namespace fs = std::filesystem;

// Marks `current` as not yet completely extracted while `current.bak`
// holds the previous application.
constexpr const char* incomplete_marker_name = "current.incomplete";

// What can't be removed is renamed to this prefix and a number, so that the
// name it held is free for the next step; every run tries to remove it.
constexpr const char* set_aside_prefix = "updater.trash.";

// The application creates this once a start after an update went well.
constexpr const char* confirmation_name = ".update-confirmed";

struct layout_paths {
    fs::path root;
    fs::path live;
    fs::path backup;
    fs::path marker;
    fs::path version;
    fs::path staged_version;    // the next `.version`, until the new files are committed
    fs::path previous_version;  // the `.version` a rollback after a start check puts back
    fs::path confirmation;      // written by the application, read by the start check
};

layout_paths make_layout_paths(const std::string& app_dir)
{
    const fs::path root = path_from_narrow(app_dir);
    return {root,
            root / "current",
            root / "current.bak",
            root / incomplete_marker_name,
            root / ".version",
            root / ".version.new",
            root / ".version.old",
            root / confirmation_name};
}

fs::path root_directory(const layout_paths& paths)
{
    return paths.root.empty() ? fs::path(".") : paths.root;
}

bool is_present(const fs::path& path)
{
    return entry_type_of(path) != entry_type::absent;
}

// Renames and removals in the application root become durable only once the
// root itself is synced. Where a failure could leave the layout ambiguous
// after a power loss the caller treats it as a failed step; elsewhere it is
// worth a warning and nothing more.
bool sync_root(const layout_paths& paths)
{
    if (sync_directory(root_directory(paths)))
        return true;
    spdlog::warn("Failed to sync {}", narrow_for_log(paths.root));
    return false;
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

// Removes whatever is at target. What can't be removed completely is moved
// aside, so that the restore or rename that needs the name is never blocked
// by it. False only when the name could not be freed at all.
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

// Removes a tree that must never be found half removed under its name (a
// backup that recovery could restore): it is renamed out of the layout
// first, and the rename made durable, so that a run stopped during the
// removal leaves only a set-aside name, which every run clears. Where the
// rename fails the tree is removed in place.
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

// Writes a small file of the application root afresh: a new file beside it,
// then a rename over it, so that whatever was at the name (a link, a pipe)
// is replaced, never written through. What can't be removed from the name
// is moved aside, so that nothing left there can block every later update.
bool write_new_root_file(const layout_paths& paths, const fs::path& file, const std::string& content,
                         std::error_code& ec)
{
    if (!clear_name(paths, file)) {
        ec = std::make_error_code(std::errc::file_exists);
        return false;
    }
    return write_new_file(file, content, ec);
}

// Only a regular file can be a version the updater wrote: a link or a pipe
// left at a waiting name is never put in place.
bool is_version_file(const fs::path& file)
{
    return entry_type_of(file) == entry_type::file;
}

// Puts a version waiting beside `.version` in place, or drops it when the
// files it belongs to are not the ones that stay. True once nothing waits
// at the name any more. A version that can't be put in place keeps waiting
// for the next run unless a directory named `.version` is in the way, which
// no later run would get past either.
bool settle_version(const layout_paths& paths, const fs::path& waiting, bool goes_with_the_files)
{
    if (goes_with_the_files) {
        std::error_code ec;
        rename_entry(waiting, paths.version, ec);
        if (!ec) {
            sync_root(paths);
            return true;
        }
        spdlog::warn("Failed to write {}: {}", narrow_for_log(paths.version), ec.message());
        if (entry_type_of(paths.version) != entry_type::directory)
            return false;
    }
    return clear_name(paths, waiting);
}

// The staged version goes with the new files once they are committed.
bool settle_staged_version(const layout_paths& paths, bool committed)
{
    return settle_version(paths, paths.staged_version, committed && is_version_file(paths.staged_version));
}

// The previous version goes with the old files once a rollback after a
// start check has marked the new ones untrusted again.
bool settle_previous_version(const layout_paths& paths, bool rolling_back)
{
    return settle_version(paths, paths.previous_version, rolling_back);
}

bool remove_marker(const layout_paths& paths)
{
    return clear_name(paths, paths.marker);
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

// A complete `current` is a real directory (not a link to one, not a file)
// that holds something and can be read; what can't be read is not trusted.
bool is_complete_live(const layout_paths& paths)
{
    if (entry_type_of(paths.live) != entry_type::directory)
        return false;
    std::error_code ec;
    return !directory_is_empty(paths.live, ec) && !ec;
}

// Returns false when the layout could not be repaired and the run must end.
bool recover_layout(const layout_paths& paths)
{
    remove_set_aside(paths);
    const bool incomplete = is_present(paths.marker);
    // A version left waiting must be settled before anything else changes:
    // the next step may write a staged version of its own.
    const bool settled = (!is_present(paths.staged_version) || settle_staged_version(paths, !incomplete)) &&
                         (!is_present(paths.previous_version) || settle_previous_version(paths, incomplete));
    if (!settled) {
        spdlog::error("Failed to settle the version waiting beside {}, so the update can't go on",
                      narrow_for_log(paths.version));
        return false;
    }
    if (!is_present(paths.backup)) {
        // Left by a rollback that was stopped after its rename: `current`
        // already holds the old application again.
        if (incomplete)
            unmark_old_application(paths);
        return true;
    }
    if (!incomplete && is_complete_live(paths)) {
        log_message(spdlog::level::info, "Removing leftover current.bak from previous update");
        discard_tree(paths, paths.backup);
        return true;
    }
    if (incomplete)
        log_message(spdlog::level::warn, "Found incomplete current from an interrupted update");
    log_message(spdlog::level::warn, "Found stale backup, restoring current from current.bak");
    return restore_backup(paths);
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

// Writes the new version beside `.version` once the marker is there and
// before anything of the new `current` is: the commit then only renames it,
// which needs no space, and a disk too full to hold it fails the update
// while the old application can still simply be put back.
bool stage_version(const layout_paths& paths, const std::string& version)
{
    std::error_code ec;
    if (!write_new_root_file(paths, paths.staged_version, version + text_line_end, ec)) {
        spdlog::error("Failed to write {}: {}", narrow_for_log(paths.staged_version), ec.message());
        return false;
    }
    return sync_root(paths);
}

// Removing the marker commits the new `current`; if that fails the next run
// would discard the new files, so the update is rolled back instead.
bool commit_new_files(const layout_paths& paths, tree_hold* live)
{
    if (!live || !sync_tree(*live)) {
        spdlog::error("Failed to sync the new files in {}", narrow_for_log(paths.live));
        return false;
    }
    if (!remove_marker(paths)) {
        spdlog::error("Failed to remove {}", narrow_for_log(paths.marker));
        return false;
    }
    sync_root(paths);
    return true;
}

// Fills a fresh `current` from the package; false means roll back. Only a
// `current` that recovery takes for complete is committed: a package that
// holds no files would leave one that it takes for an extraction cut short.
bool install_package(const layout_paths& paths, const std::string& package_path, const std::string& version)
{
    try {
        if (!create_marker(paths) || !stage_version(paths, version))
            return false;
        create_directory_tree(paths.live);
        // Held before anything is written below it, so that the sync that
        // commits the files hears of every write that failed.
        const tree_hold_ptr live = hold_tree(paths.live);
        spdlog::info("Extracting {} -> current/", package_path);
        if (!extract_zip(package_path, narrow_from_path(paths.live)))
            return false;
        if (!is_complete_live(paths)) {
            spdlog::error("Nothing to install: {} holds no files", package_path);
            return false;
        }
        return commit_new_files(paths, live.get());
    } catch (const std::exception& error) {
        spdlog::error("{}", error.what());
        return false;
    }
}

// Puts the old application back and starts it; what a failed restore
// leaves in `current` is not an application, so then nothing is started.
// Returns the exit code of an update not applied.
int restore_old_application(const layout_paths& paths, const std::string& exe_name)
{
    if (restore_backup(paths))
        launch_process(paths.live / path_from_narrow(exe_name), "--update-failed");
    return 1;
}

int roll_back(const layout_paths& paths, const std::string& exe_name)
{
    log_message(spdlog::level::err, "Extraction failed, rolling back");
    return restore_old_application(paths, exe_name);
}

// What became of `.version` when the new version went in under a start
// check, so that a rollback can give it back: the entry itself (a file, a
// link, a pipe, whatever it is) moved aside; nothing, when there was none;
// or left where it is, when the new version can't replace it (a directory).
enum class previous_version { moved_aside, absent, left_in_place };

// False when `.version` could not be moved aside: the start can then not be
// checked without losing it.
bool move_previous_version_aside(const layout_paths& paths, previous_version& previous)
{
    const entry_type type = entry_type_of(paths.version);
    previous = type == entry_type::absent      ? previous_version::absent
               : type == entry_type::directory ? previous_version::left_in_place
                                               : previous_version::moved_aside;
    if (previous != previous_version::moved_aside)
        return true;
    std::error_code ec = std::make_error_code(std::errc::file_exists);
    if (clear_name(paths, paths.previous_version))
        rename_entry(paths.version, paths.previous_version, ec);
    if (!ec)
        return true;
    spdlog::error("Failed to move {} aside, so the start of the new version can't be checked: {}",
                  narrow_for_log(paths.version), ec.message());
    return false;
}

// Gives `.version` back what it was before the update.
void restore_previous_version(const layout_paths& paths, previous_version previous)
{
    if (previous == previous_version::moved_aside) {
        settle_previous_version(paths, true);
        return;
    }
    if (previous == previous_version::left_in_place)
        return;
    removal_failure failure;
    if (remove_tree(paths.version, failure))
        sync_root(paths);
    else
        warn_removal_failed(failure);
}

// Puts the old application back after the new one failed its start check.
// The new files were committed, so the marker comes first: a run stopped
// from then on finds them untrusted and restores the backup itself, and
// puts the previous version waiting beside `.version` back as well. Where
// the marker can't be created, the complete new files stay rather than risk
// a stopped restore leaving neither application.
int roll_back_unconfirmed(const layout_paths& paths, const std::string& exe_name, previous_version previous)
{
    if (!create_marker(paths)) {
        settle_previous_version(paths, false);
        return 1;
    }
    restore_previous_version(paths, previous);
    return restore_old_application(paths, exe_name);
}

// Starts the new application; with a start check (confirm_timeout_s above
// 0) false when it did not pass.
bool start_new_version(const layout_paths& paths, const fs::path& exe_path, const std::string& argument_string,
                       unsigned confirm_timeout_s)
{
    if (confirm_timeout_s == 0) {
        spdlog::info("Launching {} {}", narrow_from_path(exe_path), argument_string);
        launch_process(exe_path, argument_string);
        return true;
    }
    // A confirmation left from an earlier run would pass this one at once.
    if (!clear_name(paths, paths.confirmation)) {
        spdlog::error("Failed to remove {}, so the start of the new version can't be checked",
                      narrow_for_log(paths.confirmation));
        return false;
    }
    spdlog::info("Launching {} {}", narrow_from_path(exe_path), argument_string);
    const bool confirmed =
        launch_and_await_confirmation(exe_path, argument_string, paths.confirmation, confirm_timeout_s);
    // It has served its purpose; one that came too late goes as well.
    clear_name(paths, paths.confirmation);
    return confirmed;
}

int finish_update(const layout_paths& paths, const std::string& exe_name, const std::string& version,
                  const std::string& relaunch_args, unsigned confirm_timeout_s)
{
    previous_version previous = previous_version::left_in_place;
    if (confirm_timeout_s > 0 && !move_previous_version_aside(paths, previous))
        return roll_back_unconfirmed(paths, exe_name, previous_version::left_in_place);
    // The backup is removed next, so the version is on disk before that. A
    // version that can't be put in place does not undo the update.
    if (is_present(paths.staged_version))
        settle_staged_version(paths, true);
    spdlog::info("Version written: {}", version);
    std::string argument_string = "--after-update";
    if (!relaunch_args.empty())
        argument_string += " " + relaunch_args;
    if (!start_new_version(paths, paths.live / path_from_narrow(exe_name), argument_string, confirm_timeout_s))
        return roll_back_unconfirmed(paths, exe_name, previous);
    if (previous == previous_version::moved_aside)
        settle_previous_version(paths, false);
    log_message(spdlog::level::info, "Cleaning up backup");
    discard_tree(paths, paths.backup);
    log_message(spdlog::level::info, "Update complete, exiting");
    return 0;
}

}  // namespace

int apply_update(std::int32_t pid, const std::string& package_path, const std::string& app_dir,
                 const std::string& exe_name, const std::string& version,
                 const std::string& relaunch_args, unsigned confirm_timeout_s)
{
    const layout_paths paths = make_layout_paths(app_dir);
    if (!recover_layout(paths))
        return 1;
    wait_for_process(pid);
    log_message(spdlog::level::info, "Renaming current/ -> current.bak/");
    // What recovery could not clear from the backup's name (a link Wine
    // can't remove) would only be retried against here.
    if (is_present(paths.backup)) {
        spdlog::error("Failed to rename current: {} is in the way", narrow_for_log(paths.backup));
        return 1;
    }
    std::error_code ec;
    rename_entry(paths.live, paths.backup, ec);
    if (ec) {
        spdlog::error("Failed to rename current: {}", ec.message());
        return 1;
    }
    sync_root(paths);
    if (!install_package(paths, package_path, version))
        return roll_back(paths, exe_name);
    return finish_update(paths, exe_name, version, relaunch_args, confirm_timeout_s);
}
