// The update transaction: repair what an interrupted run left, swap `current`
// for the extracted package with `current.bak` as the backup, and roll back
// when the new files can't be put in place.
//
// While `current.bak` exists, a marker file next to it says that `current` is
// not known to be complete. It is created before the new `current` and
// removed only once the package is fully extracted (or the old application
// is back in `current`), so a run killed at any instant leaves a layout the
// next run repairs to a complete application.
#include "updater.h"

#include <fstream>

namespace {

namespace fs = std::filesystem;

// Marks `current` as not yet completely extracted while `current.bak`
// holds the previous application.
constexpr const char* incomplete_marker_name = "current.incomplete";

struct layout_paths {
    fs::path root;
    fs::path live;
    fs::path backup;
    fs::path marker;
    fs::path version;
};

layout_paths make_layout_paths(const std::string& app_dir)
{
    const fs::path root = path_from_narrow(app_dir);
    return {root, root / "current", root / "current.bak", root / incomplete_marker_name, root / ".version"};
}

// Renames and removals in the application root become durable only once the
// root itself is synced. Where a failure could leave the layout ambiguous
// after a power loss the caller treats it as a failed step; elsewhere it is
// worth a warning and nothing more.
bool sync_root(const layout_paths& paths)
{
    if (sync_directory(paths.root.empty() ? fs::path(".") : paths.root))
        return true;
    spdlog::warn("Failed to sync {}", narrow_from_path(paths.root));
    return false;
}

void remove_marker(const layout_paths& paths, std::error_code& ec)
{
    fs::remove(paths.marker, ec);
}

bool restore_backup(const layout_paths& paths)
{
    std::error_code ec;
    if (fs::exists(paths.live))
        remove_tree(paths.live, ec);
    rename_directory(paths.backup, paths.live, ec);
    if (ec) {
        spdlog::error("Failed to restore from backup: {}", ec.message());
        return false;
    }
    // The rename is made durable before the marker goes, so the marker never
    // outlives a partial `current`.
    sync_root(paths);
    remove_marker(paths, ec);
    sync_root(paths);
    return true;
}

// Returns false when the layout could not be repaired and the run must end.
bool recover_layout(const layout_paths& paths)
{
    std::error_code ec;
    if (!fs::exists(paths.backup)) {
        // Left by a rollback that was stopped after its rename: `current`
        // already holds the old application again.
        remove_marker(paths, ec);
        return true;
    }
    const bool incomplete = fs::exists(paths.marker);
    if (!incomplete && fs::exists(paths.live) && !fs::is_empty(paths.live)) {
        log_message(spdlog::level::info, "Removing leftover current.bak from previous update");
        remove_tree(paths.backup, ec);
        return true;
    }
    if (incomplete)
        log_message(spdlog::level::warn, "Found incomplete current from an interrupted update");
    log_message(spdlog::level::warn, "Found stale backup, restoring current from current.bak");
    return restore_backup(paths);
}

bool create_marker(const layout_paths& paths)
{
    std::ofstream marker(paths.marker, std::ios::binary | std::ios::trunc);
    marker.close();
    if (!marker) {
        spdlog::error("Failed to create {}", narrow_from_path(paths.marker));
        return false;
    }
    // The marker must be on disk before anything of the new `current` is.
    return sync_root(paths);
}

// Removing the marker commits the new `current`; if that fails the next run
// would discard the new files, so the update is rolled back instead.
bool commit_new_files(const layout_paths& paths)
{
    if (!sync_tree(paths.live)) {
        spdlog::error("Failed to sync the new files in {}", narrow_from_path(paths.live));
        return false;
    }
    std::error_code ec;
    remove_marker(paths, ec);
    if (ec) {
        spdlog::error("Failed to remove {}: {}", narrow_from_path(paths.marker), ec.message());
        return false;
    }
    sync_root(paths);
    return true;
}

// Fills a fresh `current` from the package; false means roll back.
bool install_package(const layout_paths& paths, const std::string& package_path)
{
    try {
        if (!create_marker(paths))
            return false;
        fs::create_directories(paths.live);
        spdlog::info("Extracting {} -> current/", package_path);
        return extract_zip(package_path, narrow_from_path(paths.live)) && commit_new_files(paths);
    } catch (const std::exception& error) {
        spdlog::error("{}", error.what());
        return false;
    }
}

int roll_back(const layout_paths& paths, const std::string& exe_name)
{
    log_message(spdlog::level::err, "Extraction failed, rolling back");
    restore_backup(paths);
    launch_process(paths.live / exe_name, "--update-failed");
    return 1;
}

void write_version_marker(const layout_paths& paths, const std::string& version)
{
    {
        std::ofstream out(paths.version);
        out << version << '\n';
    }
    // The backup is removed next; the version must not lag behind the files.
    sync_file(paths.version);
    sync_root(paths);
}

int finish_update(const layout_paths& paths, const std::string& exe_name,
                  const std::string& version, const std::string& relaunch_args)
{
    write_version_marker(paths, version);
    spdlog::info("Version written: {}", version);
    const fs::path exe_path = paths.live / exe_name;
    std::string argument_string = "--after-update";
    if (!relaunch_args.empty())
        argument_string += " " + relaunch_args;
    spdlog::info("Launching {} {}", narrow_from_path(exe_path), argument_string);
    launch_process(exe_path, argument_string);
    log_message(spdlog::level::info, "Cleaning up backup");
    std::error_code ec;
    remove_tree(paths.backup, ec);
    log_message(spdlog::level::info, "Update complete, exiting");
    return 0;
}

}  // namespace

int apply_update(std::int32_t pid, const std::string& package_path, const std::string& app_dir,
                 const std::string& exe_name, const std::string& version,
                 const std::string& relaunch_args)
{
    const layout_paths paths = make_layout_paths(app_dir);
    if (!recover_layout(paths))
        return 1;
    wait_for_process(pid);
    log_message(spdlog::level::info, "Renaming current/ -> current.bak/");
    std::error_code ec;
    rename_directory(paths.live, paths.backup, ec);
    if (ec) {
        spdlog::error("Failed to rename current: {}", ec.message());
        return 1;
    }
    sync_root(paths);
    if (!install_package(paths, package_path))
        return roll_back(paths, exe_name);
    return finish_update(paths, exe_name, version, relaunch_args);
}
