// The application root's layout, as the update transaction keeps it: its
// names, the named layouts a run can find it in (read once, before
// anything changes), the one repair of each, and the operations that
// change it, each durable before it returns. Only the transaction
// (update_transaction.cpp) and the tests include this header.
#pragma once

#include "platform.h"

#include <cstdint>
#include <filesystem>
#include <string>

struct layout_paths {
    std::filesystem::path root;
    std::filesystem::path live;                 // current: the application
    std::filesystem::path backup;               // current.bak: the previous one while an update runs
    std::filesystem::path marker;               // current.incomplete: `current` not to be trusted
    std::filesystem::path version;              // .version
    std::filesystem::path staged_version;       // .version.new: the next one, until its files are committed
    std::filesystem::path previous_version;     // .version.old: the one a start check's rollback puts back
    std::filesystem::path no_previous_version;  // .version.none: there was none, so a rollback removes .version
    std::filesystem::path confirmation;         // .update-confirmed: written by the application
    std::filesystem::path prepared;             // current.new: the next application, prepared ahead
    std::filesystem::path prepared_record;      // current.new.ready: what current.new was prepared from
    std::filesystem::path package_copy;         // a private copy of the package, while it is read
};

layout_paths make_layout_paths(const std::string& app_dir);

// ---- The named layouts ------------------------------------------------------------
//
// A run finds the root in one of these, and recovery takes each back to
// `installed` (or leaves `no_application`, which the update's own rename
// then reports). The steps of the transaction that leave each are listed
// in update_transaction.cpp.

// The application: which of `current`, `current.bak` and the marker are
// there, and whether `current` is complete (a real directory, readable and
// not empty).
enum class application_layout {
    installed,           // `current`, no backup, no marker
    no_application,      // no `current` that is a directory, no backup, no marker
    stale_backup,        // a backup beside no complete `current`, no marker: `current` was moved aside
    update_cut_short,    // a backup and the marker: new files not (or no longer) committed
    update_committed,    // a backup beside a complete `current`, no marker: the new files stay
    rollback_cut_short,  // the marker, no backup: the old files are back in `current`
};

// The versions waiting beside `.version`, each settled by which files stay.
struct waiting_versions {
    bool staged = false;       // .version.new
    bool previous = false;     // .version.old
    bool none_before = false;  // .version.none
};

// The copy `prepare` makes, and its record.
enum class prepared_layout {
    none,
    complete,        // the copy and its record
    copy_cut_short,  // the copy without its record: a preparation was stopped
    record_alone,    // the record without the copy
};

struct root_layout {
    application_layout application = application_layout::installed;
    waiting_versions versions;
    prepared_layout prepared = prepared_layout::none;
    bool set_aside = false;     // updater.trash.*: removed by every run
    bool confirmation = false;  // .update-confirmed: left to the next start check
};

// What a run finds; raises std::filesystem::filesystem_error when a name
// can't be looked at.
root_layout classify_layout(const layout_paths& paths);

// True where the old files are (or come back to be) the application.
bool old_files_stay(application_layout application);

// True for the layouts a completed run leaves: an application (or none)
// with nothing waiting and no half of a prepared copy.
bool is_settled(const root_layout& layout);

// Repairs a layout found at the start of a run. False, logged, when the
// backup could not be put back, and the run must end.
[[nodiscard]] bool repair_layout(const layout_paths& paths, const root_layout& found);

// Classifies the root and repairs it.
[[nodiscard]] bool recover_layout(const layout_paths& paths);

// ---- Changing the layout ------------------------------------------------------
//
// Each change to a name of the root is on stable storage before the
// operation that made it returns, so that no later change can be found
// after a power loss without it: recovery reads meaning into which names
// are there together. An operation that could not make its change durable
// fails.

bool is_present(const std::filesystem::path& path);

// The entries below a directory, of every kind, its regular files and their
// bytes, counted without following a link.
struct tree_measure {
    std::uint64_t entries = 0;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};
[[nodiscard]] bool measure_tree(const std::filesystem::path& dir, tree_measure& measure, std::error_code& ec);

// Syncs the root, where renames and removals become durable; false, with a
// warning, when that failed.
[[nodiscard]] bool sync_root(const layout_paths& paths);

// Removes whatever is at target; what can't be removed completely is moved
// aside to updater.trash.N. False only when the name could not be freed
// (or that could not be made durable).
[[nodiscard]] bool clear_name(const layout_paths& paths, const std::filesystem::path& target);

// Renames an entry of the root durably; ec says why it failed.
[[nodiscard]] bool move_in_root(const layout_paths& paths, const std::filesystem::path& from,
                                const std::filesystem::path& to, std::error_code& ec);

// Removes a tree that must never be found half removed under its name: it
// is renamed out of the layout first (durably), then removed. Whatever
// happens, the name is free afterwards unless it could not even be moved
// aside; what could not be removed waits as updater.trash.N.
void discard_tree(const layout_paths& paths, const std::filesystem::path& target);

// Writes a small root file afresh, never through what was at its name, and
// makes it and its name durable; what could not be written completely is
// removed again.
[[nodiscard]] bool write_new_root_file(const layout_paths& paths, const std::filesystem::path& file,
                                       const std::string& content, std::error_code& ec);

// The marker, created and synced before anything of a new `current` exists.
[[nodiscard]] bool create_marker(const layout_paths& paths);
[[nodiscard]] bool remove_marker(const layout_paths& paths);

// Puts the staged version in place (committed) or drops it; puts the
// previous version back (rolling back) or drops it; removes the `.version`
// that an update wrote where there was none before (rolling back) and
// drops that record. True once nothing waits at the name; a version that
// can't be put in place waits for the next run.
[[nodiscard]] bool settle_staged_version(const layout_paths& paths, bool committed);
[[nodiscard]] bool settle_previous_version(const layout_paths& paths, bool rolling_back);
[[nodiscard]] bool settle_no_previous_version(const layout_paths& paths, bool rolling_back);

// Records, durably, that there was no `.version` before the update that
// writes version.
[[nodiscard]] bool record_no_previous_version(const layout_paths& paths, const std::string& version,
                                              std::error_code& ec);

// Puts the backup back in `current` and removes the marker once nothing
// waits beside `.version`; false, logged, when the backup could not be put
// back.
[[nodiscard]] bool restore_backup(const layout_paths& paths);

// ---- The prepared copy ----------------------------------------------------------

// What current.new was prepared from, and what it held when it was done.
struct prepared_source {
    std::string version;
    std::string main_executable;
    std::string sha256;  // the package's, where it was checked; else empty
    file_identity package;
    tree_measure contents;
};

// Writes the record that makes current.new a complete prepared copy.
[[nodiscard]] bool write_prepared_record(const layout_paths& paths, const prepared_source& source);

// Reads the record; false when there is none or it can't be read.
[[nodiscard]] bool read_prepared_record(const layout_paths& paths, prepared_source& source);

// Removes the record first, so that the copy is never found complete while
// it is being removed, then the copy.
void remove_prepared_copy(const layout_paths& paths);
