// The update transaction: repair what an interrupted run left, swap `current`
// for the extracted package with `current.bak` as the backup, and roll back
// when the new files can't be put in place.
//
// While `current.bak` exists, a marker file next to it says that `current` is
// not known to be complete. It is created before the new `current` and
// removed only once the package is fully extracted (or the old application
// is back in `current`), so a run killed at any instant leaves a layout the
// next run repairs to a complete application. The new version string waits
// beside `.version` until that moment, so that it goes with the files.
//
// With a start check the backup outlives the start of the new application
// until that confirms it; a new application that does not is replaced by the
// backup again, the marker marking the new files as untrusted once more
// while that happens.
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

// A version string is a line; a `.version` far longer is not one.
constexpr std::size_t version_size_limit = 4096;

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
// is replaced, never written through.
bool write_new_root_file(const fs::path& file, const std::string& content, std::error_code& ec)
{
    removal_failure failure;
    if (!remove_tree(file, failure)) {
        ec = failure.error;
        return false;
    }
    return write_new_file(file, content, ec);
}

// Puts a version waiting beside `.version` in place, or drops it when the
// files it belongs to are not the ones that stay.
bool settle_version(const layout_paths& paths, const fs::path& waiting, bool goes_with_the_files)
{
    std::error_code ec;
    if (goes_with_the_files) {
        rename_entry(waiting, paths.version, ec);
        if (!ec) {
            sync_root(paths);
            return true;
        }
        spdlog::warn("Failed to write {}: {}", narrow_for_log(paths.version), ec.message());
    }
    removal_failure failure;
    remove_tree(waiting, failure);
    return false;
}

// The staged version goes with the new files once they are committed.
bool settle_staged_version(const layout_paths& paths, bool committed)
{
    return settle_version(paths, paths.staged_version, committed);
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
    settle_staged_version(paths, false);
    remove_marker(paths);
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
    if (is_present(paths.staged_version))
        settle_staged_version(paths, !incomplete);
    if (is_present(paths.previous_version))
        settle_previous_version(paths, incomplete);
    if (!is_present(paths.backup)) {
        // Left by a rollback that was stopped after its rename: `current`
        // already holds the old application again.
        if (incomplete)
            remove_marker(paths);
        return true;
    }
    if (!incomplete && is_complete_live(paths)) {
        log_message(spdlog::level::info, "Removing leftover current.bak from previous update");
        clear_name(paths, paths.backup);
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

// Removing the marker commits the new `current`; if that fails the next run
// would discard the new files, so the update is rolled back instead. The
// version is staged first, so that a run stopped right after the commit
// still ends with the version of the files it committed.
bool commit_new_files(const layout_paths& paths, const std::string& version, tree_hold* live)
{
    if (!live || !sync_tree(*live)) {
        spdlog::error("Failed to sync the new files in {}", narrow_for_log(paths.live));
        return false;
    }
    std::error_code ec;
    if (!write_new_root_file(paths.staged_version, version + text_line_end, ec))
        spdlog::warn("Failed to write {}: {}", narrow_for_log(paths.staged_version), ec.message());
    if (!remove_marker(paths)) {
        spdlog::error("Failed to remove {}", narrow_for_log(paths.marker));
        return false;
    }
    sync_root(paths);
    return true;
}

// Fills a fresh `current` from the package; false means roll back.
bool install_package(const layout_paths& paths, const std::string& package_path, const std::string& version)
{
    try {
        if (!create_marker(paths))
            return false;
        create_directory_tree(paths.live);
        // Held before anything is written below it, so that the sync that
        // commits the files hears of every write that failed.
        const tree_hold_ptr live = hold_tree(paths.live);
        spdlog::info("Extracting {} -> current/", package_path);
        return extract_zip(package_path, narrow_from_path(paths.live)) &&
               commit_new_files(paths, version, live.get());
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

// What `.version` held before the update, for a rollback after a failed
// start check.
struct previous_version {
    enum class state { absent, read, unknown } state;
    std::string text;
};

previous_version read_previous_version(const layout_paths& paths)
{
    if (!is_present(paths.version))
        return {previous_version::state::absent, {}};
    std::string text;
    std::error_code ec;
    if (read_root_file(paths.version, version_size_limit, text, ec))
        return {previous_version::state::read, text};
    spdlog::warn("Failed to read {}: {}", narrow_for_log(paths.version), ec.message());
    return {previous_version::state::unknown, {}};
}

// Gives `.version` back what it held before the update. What could not be
// read is left as it is now, since the update may not have replaced it
// (a directory of that name) and nothing better is known.
void restore_previous_version(const layout_paths& paths, const previous_version& previous)
{
    if (previous.state == previous_version::state::read) {
        settle_previous_version(paths, true);
        return;
    }
    if (previous.state == previous_version::state::unknown)
        return;
    removal_failure failure;
    if (remove_tree(paths.version, failure))
        sync_root(paths);
    else
        warn_removal_failed(failure);
}

// Puts the old application back after the new one failed its start check.
// The new files were committed, so the marker comes first: a run stopped
// from then on finds them untrusted and restores the backup itself. The
// previous version waits beside `.version` before the marker appears, so
// that such a run puts it back as well. Where the marker can't be created,
// the complete new files stay rather than risk a stopped restore leaving
// neither application.
int roll_back_unconfirmed(const layout_paths& paths, const std::string& exe_name, const previous_version& previous)
{
    std::error_code ec;
    if (previous.state == previous_version::state::read &&
        !write_new_root_file(paths.previous_version, previous.text, ec))
        spdlog::warn("Failed to write {}: {}", narrow_for_log(paths.previous_version), ec.message());
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
    // Read before the new version replaces it; only a start check needs it.
    const previous_version previous = confirm_timeout_s > 0 ? read_previous_version(paths)
                                                            : previous_version{previous_version::state::unknown, {}};
    // The backup is removed next, so the version is on disk before that. A
    // version that can't be written does not undo the update.
    if (is_present(paths.staged_version))
        settle_staged_version(paths, true);
    spdlog::info("Version written: {}", version);
    std::string argument_string = "--after-update";
    if (!relaunch_args.empty())
        argument_string += " " + relaunch_args;
    if (!start_new_version(paths, paths.live / path_from_narrow(exe_name), argument_string, confirm_timeout_s))
        return roll_back_unconfirmed(paths, exe_name, previous);
    log_message(spdlog::level::info, "Cleaning up backup");
    clear_name(paths, paths.backup);
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
