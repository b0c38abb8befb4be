// The application root's layout, as the update transaction keeps it: its
// names, the state a run finds it in (read once, before anything changes),
// the recovery that brings every such state to one the next steps start
// from, and the operations that change it durably. Only the transaction
// (update_transaction.cpp) includes this header.
#pragma once

#include "platform.h"

#include <cstdint>
#include <filesystem>
#include <string>

struct layout_paths {
    std::filesystem::path root;
    std::filesystem::path live;              // current: the application
    std::filesystem::path backup;            // current.bak: the previous one while an update runs
    std::filesystem::path marker;            // current.incomplete: `current` not to be trusted
    std::filesystem::path version;           // .version
    std::filesystem::path staged_version;    // .version.new: the next one, until its files are committed
    std::filesystem::path previous_version;  // .version.old: the one a start check's rollback puts back
    std::filesystem::path confirmation;      // .update-confirmed: written by the application
    std::filesystem::path prepared;          // current.new: the next application, prepared ahead
    std::filesystem::path prepared_record;   // current.new.ready: what current.new was prepared from
    std::filesystem::path package_copy;      // a private copy of the package, while it is read
};

layout_paths make_layout_paths(const std::string& app_dir);

// What a run finds in the application root.
struct layout_state {
    bool marked;            // the marker is there
    bool backup;            // something is at current.bak
    bool live_complete;     // current is a real directory, readable and not empty
    bool staged_version;    // something is at .version.new
    bool previous_version;  // something is at .version.old
    bool prepared;          // something is at current.new
    bool prepared_record;   // something is at current.new.ready
};

layout_state read_layout(const layout_paths& paths);

// Repairs what an interrupted run left, from the state read at its start.
// False when the layout could not be repaired and the run must end.
bool recover_layout(const layout_paths& paths);

// ---- Changing the layout ------------------------------------------------------

bool is_present(const std::filesystem::path& path);

// Syncs the root, where renames and removals become durable; false, with a
// warning, when that failed.
bool sync_root(const layout_paths& paths);

// Removes whatever is at target; what can't be removed completely is moved
// aside to updater.trash.N. False only when the name could not be freed.
bool clear_name(const layout_paths& paths, const std::filesystem::path& target);

// Removes a tree that must never be found half removed under its name: it
// is renamed out of the layout first (durably), then removed.
void discard_tree(const layout_paths& paths, const std::filesystem::path& target);

// Writes a small root file afresh, never through what was at its name.
bool write_new_root_file(const layout_paths& paths, const std::filesystem::path& file, const std::string& content,
                         std::error_code& ec);

// The marker, created and synced before anything of a new `current` exists.
bool create_marker(const layout_paths& paths);
bool remove_marker(const layout_paths& paths);

// What becomes of a version that can't be put in place: it waits for the
// next run's one more try, or is dropped.
enum class if_blocked { wait_for_next_run, give_up };

// Puts the staged version in place (committed) or drops it; puts the
// previous version back (rolling back) or drops it. True once nothing waits
// at the name.
bool settle_staged_version(const layout_paths& paths, bool committed, if_blocked blocked = if_blocked::give_up);
bool settle_previous_version(const layout_paths& paths, bool rolling_back);

// Puts the backup back in `current` and removes the marker once nothing
// waits beside `.version`; false, logged, when the backup could not be put
// back.
bool restore_backup(const layout_paths& paths);

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
bool write_prepared_record(const layout_paths& paths, const prepared_source& source);

// Reads the record; false when there is none or it can't be read.
bool read_prepared_record(const layout_paths& paths, prepared_source& source);

// Removes the record first, so that the copy is never found complete while
// it is being removed, then the copy.
void remove_prepared_copy(const layout_paths& paths);
