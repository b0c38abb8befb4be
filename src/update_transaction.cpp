// The update transaction. `apply` swaps `current` for the new version, with
// `current.bak` as the backup, taking the new files from the package or from
// a copy prepared ahead, and rolls back when they can't be put in place.
// `prepare` makes such a copy, `current.new`, while the application still
// runs, so that `apply` is left only the swap.
//
// The forward steps of `apply`, in order, with the layout each leaves
// (named in update_layout.h, where recovery repairs each) and what undoes
// it:
//
//   step                                        leaves             undone by
//   1. current -> current.bak                   stale_backup       restore_backup
//   2. the marker, then the staged version      update_cut_short   restore_backup, which drops the
//                                                                  version and removes the marker
//   3. the new current: extracted from the      update_cut_short   restore_backup, which clears it
//      package, or current.new renamed to it
//   4. the commit: the marker goes              update_committed   from here on the new version
//   5. under a start check, the previous        update_committed   stays, but for a failed start
//      version aside (or a record that there                       check: roll_back_unconfirmed,
//      was none); the staged version in place                      which marks the files untrusted
//   6. the new version started (and checked)    update_committed   again (update_cut_short) first
//   7. the backup discarded                     installed
#include "updater.h"

#include "platform.h"
#include "protocol.h"
#include "update_layout.h"

namespace {

namespace fs = std::filesystem;

// ---- Steps 1 to 4 -----------------------------------------------------------------

bool move_current_aside(const layout_paths& paths)
{
    log_message(spdlog::level::info, "Renaming current/ -> current.bak/");
    // What recovery could not clear from the backup's name (a link Wine
    // can't remove) would only be retried against here.
    if (is_present(paths.backup)) {
        spdlog::error("Failed to rename current: {} is in the way", narrow_for_log(paths.backup));
        return false;
    }
    std::error_code ec;
    if (!rename_entry(paths.live, paths.backup, ec)) {
        spdlog::error("Failed to rename current: {}", ec.message());
        return false;
    }
    // Either order of this rename and the marker's creation, next, is a
    // layout recovery repairs; the marker's own sync, which must succeed,
    // makes both durable.
    (void)sync_root(paths);
    return true;
}

// Writes the new version beside `.version` once the marker is there and
// before anything of the new `current` is: the commit then only renames it,
// which needs no space, and a disk too full to hold it fails the update
// while the old application can still simply be put back.
bool stage_version(const layout_paths& paths, const std::string& version)
{
    std::error_code ec;
    if (write_new_root_file(paths, paths.staged_version, version + text_line_end, ec))
        return true;
    spdlog::error("Failed to write {}: {}", narrow_for_log(paths.staged_version), ec.message());
    return false;
}

// The package as a run reads it: the path given, as the log shows it, and
// the path read, which a private copy may stand in for.
struct package_source {
    std::string given;
    std::string read;
    package_hold_ptr hold;
};

// Where the package's digest is to be checked, holds it from before it is
// hashed until it is no longer read, so that nobody can change it between
// the hash and the extraction; where that takes a private copy the copy is
// read instead. False, logged, when it can't be held.
bool take_package(const layout_paths& paths, const std::string& package_path, const extraction_options& options,
                  package_source& package)
{
    package = {package_path, package_path, nullptr};
    if (options.sha256.empty())
        return true;
    std::string why_copied;
    std::error_code ec;
    package.hold = hold_package(package_path, paths.package_copy, package.read, why_copied, ec);
    if (!package.hold) {
        spdlog::error("Failed to hold {} while its SHA-256 is checked: {}", package_path, ec.message());
        return false;
    }
    if (!why_copied.empty())
        spdlog::info("Working from a private copy of {}: {}", package_path, why_copied);
    return true;
}

// Fills dest from the package, counts what it holds and makes it durable.
// A package that holds no file is no application: installed, it would even
// leave a `current` that recovery takes for an extraction cut short.
bool fill_from_package(const layout_paths& paths, const fs::path& dest, const package_source& package,
                       const extraction_options& options, tree_measure& contents)
{
    create_directory_tree(dest);
    if (!sync_root(paths))
        return false;
    // Held before anything is written below it, so that the sync hears of
    // every write that failed.
    const tree_hold_ptr hold = hold_tree(dest);
    if (!extract_zip(package.read, narrow_from_path(dest), options))
        return false;
    std::error_code ec;
    if (!measure_tree(dest, contents, ec)) {
        spdlog::error("Failed to read {}: {}", narrow_for_log(dest), ec.message());
        return false;
    }
    if (contents.files == 0) {
        spdlog::error("Nothing to install: {} holds no files", package.given);
        return false;
    }
    if (!hold || !sync_tree(*hold)) {
        spdlog::error("Failed to sync the new files in {}", narrow_for_log(dest));
        return false;
    }
    return true;
}

// The prepared copy is durable already; its rename is made durable before
// the commit can be. A copy that can't be renamed loses its record, so that
// the next update extracts the package instead of failing the same way.
bool move_prepared_copy_in(const layout_paths& paths)
{
    log_message(spdlog::level::info, "Using the prepared copy: current.new/ -> current/");
    std::error_code ec;
    if (move_in_root(paths, paths.prepared, paths.live, ec))
        return true;
    spdlog::error("Failed to rename current.new: {}", ec.message());
    if (is_present(paths.prepared))
        // A record that stays is removed with its copy by the next run that
        // finds the copy does not fit.
        (void)clear_name(paths, paths.prepared_record);
    return false;
}

// Removing the marker commits the new `current`; if that fails the next run
// would discard the new files, so the update is rolled back instead. The
// record of a prepared copy now names nothing and goes too.
bool commit_new_files(const layout_paths& paths)
{
    if (!remove_marker(paths)) {
        spdlog::error("Failed to remove {}", narrow_for_log(paths.marker));
        return false;
    }
    if (is_present(paths.prepared_record) && !is_present(paths.prepared))
        // One that stays names no copy; the next run removes it.
        (void)clear_name(paths, paths.prepared_record);
    return true;
}

// Steps 2 to 4; false means roll back.
bool install_new_files(const layout_paths& paths, const package_source& package, const std::string& version,
                       const extraction_options& options, bool from_prepared_copy)
{
    try {
        if (!create_marker(paths) || !stage_version(paths, version))
            return false;
        if (from_prepared_copy) {
            if (!move_prepared_copy_in(paths))
                return false;
        } else {
            spdlog::info("Extracting {} -> current/", package.given);
            tree_measure contents;
            if (!fill_from_package(paths, paths.live, package, options, contents))
                return false;
        }
        return commit_new_files(paths);
    } catch (const std::exception& error) {
        spdlog::error("{}", error.what());
        return false;
    }
}

// ---- The prepared copy ------------------------------------------------------------

// Whether current.new can stand for this package and version, and if not,
// why: it was completely prepared from this very file, unchanged since, for
// this version and main executable, from a package with the SHA-256 this
// update expects, and still holds what it held then.
bool prepared_copy_fits(const layout_paths& paths, const std::string& package_path, const std::string& version,
                        const extraction_options& options, std::string& why_not)
{
    prepared_source source;
    file_identity package;
    tree_measure contents;
    std::error_code ec;
    // A link would become `current`, leading out of the root.
    if (entry_type_of(paths.prepared) != entry_type::directory)
        why_not = "it is not a directory";
    else if (!read_prepared_record(paths, source))
        why_not = "its record can't be read";
    else if (source.version != version)
        why_not = "it was prepared for version " + source.version;
    else if (source.main_executable != options.main_executable)
        why_not = "it was prepared for the main executable " + source.main_executable;
    else if (!options.sha256.empty() && source.sha256 != options.sha256)
        why_not = source.sha256.empty() ? "it was prepared without checking the package's SHA-256"
                                        : "it was prepared from a package whose SHA-256 is " + source.sha256;
    else if (!identify_file(package_path, package, ec) || !(package == source.package))
        why_not = "the package is not the one it was prepared from, or has changed since";
    else if (!measure_tree(paths.prepared, contents, ec) || contents.entries != source.contents.entries ||
             contents.bytes != source.contents.bytes)
        why_not = "it no longer holds what was prepared";
    else
        return true;
    return false;
}

// Whether the update takes its new files from current.new; one that does
// not fit is removed, so that it can never be used for anything else.
bool use_prepared_copy(const layout_paths& paths, const std::string& package_path, const std::string& version,
                       const extraction_options& options)
{
    if (!is_present(paths.prepared))
        return false;
    std::string why_not;
    if (prepared_copy_fits(paths, package_path, version, options, why_not))
        return true;
    spdlog::info("Removing prepared current.new: {}", why_not);
    remove_prepared_copy(paths);
    return false;
}

// ---- Rolling back -----------------------------------------------------------------

// Starts an application, or says that it was asked to start none.
void launch_unless_told_not_to(const fs::path& exe_path, const std::string& argument_string,
                               const apply_options& options)
{
    if (options.launch)
        launch_process(exe_path, argument_string);
    else
        spdlog::info("Not launching {} {}: --no-launch", narrow_from_path(exe_path), argument_string);
}

// Puts the old application back and starts it; what a failed restore
// leaves in `current` is not an application, so then nothing is started.
// Returns the exit code of an update not applied.
int restore_old_application(const layout_paths& paths, const std::string& exe_name, const apply_options& options)
{
    if (restore_backup(paths))
        launch_unless_told_not_to(paths.live / path_from_narrow(exe_name), protocol::update_failed_marker, options);
    return 1;
}

int roll_back(const layout_paths& paths, const std::string& exe_name, const apply_options& options)
{
    log_message(spdlog::level::err, "Extraction failed, rolling back");
    return restore_old_application(paths, exe_name, options);
}

// What became of `.version` when the new version went in under a start
// check, so that a rollback can give it back: the entry itself (a file, a
// link, a pipe, whatever it is) moved aside; nothing, when there was none,
// which a record beside it says; or left where it is, when the new version
// can't replace it (a directory).
enum class previous_version { moved_aside, absent, left_in_place };

// The record that there was no `.version`, or the entry moved aside, is
// durable before the new version goes in: a rollback stopped part way is
// finished by the next run from it. False when neither could be done: the
// start can then not be checked without losing the previous version.
bool move_previous_version_aside(const layout_paths& paths, const std::string& version, previous_version& previous)
{
    const entry_type type = entry_type_of(paths.version);
    previous = type == entry_type::absent      ? previous_version::absent
               : type == entry_type::directory ? previous_version::left_in_place
                                               : previous_version::moved_aside;
    std::error_code ec = std::make_error_code(std::errc::file_exists);
    if (previous == previous_version::left_in_place ||
        (previous == previous_version::absent && record_no_previous_version(paths, version, ec)) ||
        (previous == previous_version::moved_aside && clear_name(paths, paths.previous_version) &&
         move_in_root(paths, paths.version, paths.previous_version, ec)))
        return true;
    const std::string what = previous == previous_version::absent
                                 ? "create " + narrow_for_log(paths.no_previous_version)
                                 : "move " + narrow_for_log(paths.version) + " aside";
    spdlog::error("Failed to {}, so the start of the new version can't be checked: {}", what, ec.message());
    return false;
}

// Gives `.version` back what it was before the update. What can't be given
// back waits beside it, and the marker, there already, keeps it waiting
// for the next run.
void restore_previous_version(const layout_paths& paths, previous_version previous)
{
    if (previous == previous_version::moved_aside)
        (void)settle_previous_version(paths, true);
    else if (previous == previous_version::absent)
        (void)settle_no_previous_version(paths, true);
}

// The new version stays: what was kept for a rollback goes. What can't be
// removed now is dropped by the next run, which finds the new files stay.
void drop_previous_version(const layout_paths& paths, previous_version previous)
{
    if (previous == previous_version::moved_aside)
        (void)settle_previous_version(paths, false);
    else if (previous == previous_version::absent)
        (void)settle_no_previous_version(paths, false);
}

// Puts the old application back after the new one failed its start check.
// The new files were committed, so the marker comes first: a run stopped
// from then on finds them untrusted and restores the backup itself, and
// puts the previous version waiting beside `.version` back as well. Where
// the marker can't be created, the complete new files stay rather than risk
// a stopped restore leaving neither application.
int roll_back_unconfirmed(const layout_paths& paths, const std::string& exe_name, previous_version previous,
                          const apply_options& options)
{
    if (!create_marker(paths)) {
        // A marker that was created all the same (its flush failed) would
        // have the next run restore the old files: what they need stays.
        if (is_present(paths.marker) && !clear_name(paths, paths.marker))
            return 1;
        drop_previous_version(paths, previous);
        return 1;
    }
    restore_previous_version(paths, previous);
    return restore_old_application(paths, exe_name, options);
}

// ---- Steps 5 to 7 -----------------------------------------------------------------

// Starts the new application; with a start check false when it did not
// pass.
bool start_new_version(const layout_paths& paths, const fs::path& exe_path, const std::string& argument_string,
                       const apply_options& options)
{
    if (!options.launch) {
        launch_unless_told_not_to(exe_path, argument_string, options);
        return true;
    }
    if (options.confirm_timeout_s == 0) {
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
        launch_and_await_confirmation(exe_path, argument_string, paths.confirmation, options.confirm_timeout_s);
    // It has served its purpose; one that came too late goes as well, or
    // else with the next start check.
    (void)clear_name(paths, paths.confirmation);
    return confirmed;
}

int finish_update(const layout_paths& paths, const std::string& exe_name, const std::string& version,
                  const std::string& relaunch_args, const apply_options& options)
{
    previous_version previous = previous_version::left_in_place;
    if (options.confirm_timeout_s > 0 && !move_previous_version_aside(paths, version, previous))
        return roll_back_unconfirmed(paths, exe_name, previous_version::left_in_place, options);
    // The backup is removed next, so the version is on disk before that. A
    // version that can't be put in place does not undo the update: it waits
    // for one more try by the next run, or is dropped.
    if (is_present(paths.staged_version))
        (void)settle_staged_version(paths, true);
    spdlog::info("Version written: {}", version);
    std::string argument_string = protocol::after_update_marker;
    if (!relaunch_args.empty())
        argument_string += " " + relaunch_args;
    if (!start_new_version(paths, paths.live / path_from_narrow(exe_name), argument_string, options))
        return roll_back_unconfirmed(paths, exe_name, previous, options);
    drop_previous_version(paths, previous);
    log_message(spdlog::level::info, "Cleaning up backup");
    discard_tree(paths, paths.backup);
    log_message(spdlog::level::info, "Update complete, exiting");
    return 0;
}

// ---- prepare ----------------------------------------------------------------------

// A copy that could not start is not prepared: the application learns it
// while it still runs, rather than from an update that starts nothing.
bool holds_main_executable(const fs::path& copy, const std::string& package_path, const std::string& exe_name)
{
    const entry_type type = entry_type_of(copy / path_from_narrow(exe_name));
    if (type != entry_type::absent && type != entry_type::directory)
        return true;
    spdlog::error("{} holds no main executable {}", package_path, exe_name);
    return false;
}

// Fills current.new from the package and records what it came from. The
// package must be the same file, unchanged, after the extraction as before
// it, so that the record names what was extracted.
bool prepare_copy(const layout_paths& paths, const std::string& package_path, const std::string& version,
                  const extraction_options& options)
{
    try {
        prepared_source source{version, options.main_executable, options.sha256, {}, {}};
        std::error_code ec;
        const bool identified = identify_file(package_path, source.package, ec);
        package_source package;
        if (!take_package(paths, package_path, options, package) ||
            !fill_from_package(paths, paths.prepared, package, options, source.contents))
            return false;
        file_identity after;
        if (!identified || !identify_file(package_path, after, ec) || !(after == source.package)) {
            spdlog::error("{} changed while it was extracted", package_path);
            return false;
        }
        return holds_main_executable(paths.prepared, package_path, options.main_executable) &&
               write_prepared_record(paths, source);
    } catch (const std::exception& error) {
        spdlog::error("{}", error.what());
        return false;
    }
}

}  // namespace

int apply_update(std::int32_t pid, const std::string& package_path, const std::string& app_dir,
                 const std::string& exe_name, const std::string& version, const std::string& relaunch_args,
                 const apply_options& options)
{
    const layout_paths paths = make_layout_paths(app_dir);
    if (!recover_layout(paths))
        return 1;
    wait_for_process(pid);
    const extraction_options extraction{{}, exe_name, options.sha256};
    const bool from_prepared_copy = use_prepared_copy(paths, package_path, version, extraction);
    // Taken while the application is still in place, so that it is never
    // away while the package is copied or waited for.
    package_source package{package_path, package_path, nullptr};
    if (!from_prepared_copy && !take_package(paths, package_path, extraction, package)) {
        launch_unless_told_not_to(paths.live / path_from_narrow(exe_name), protocol::update_failed_marker, options);
        return 1;
    }
    if (!move_current_aside(paths))
        return 1;
    if (!install_new_files(paths, package, version, extraction, from_prepared_copy))
        return roll_back(paths, exe_name, options);
    return finish_update(paths, exe_name, version, relaunch_args, options);
}

int prepare_update(const std::string& package_path, const std::string& app_dir, const std::string& exe_name,
                   const std::string& version, const prepare_options& options)
{
    const layout_paths paths = make_layout_paths(app_dir);
    if (!recover_layout(paths))
        return 1;
    if (is_present(paths.prepared)) {
        log_message(spdlog::level::info, "Replacing the copy prepared earlier in current.new");
        remove_prepared_copy(paths);
        // What stays there (a mount) would be written into, not replaced.
        if (is_present(paths.prepared)) {
            spdlog::error("Failed to remove {}, so nothing can be prepared", narrow_for_log(paths.prepared));
            return 1;
        }
    }
    spdlog::info("Preparing {} -> current.new/", package_path);
    extraction_options extraction{{}, exe_name, options.sha256};
    if (options.report_progress)
        extraction.progress = [](std::uint64_t written, std::uint64_t total) {
            write_to_caller("progress " + std::to_string(written) + " " + std::to_string(total));
        };
    if (prepare_copy(paths, package_path, version, extraction)) {
        spdlog::info("Prepared current.new for version {}", version);
        return 0;
    }
    log_message(spdlog::level::err, "Preparation failed, removing current.new");
    remove_prepared_copy(paths);
    return 1;
}
