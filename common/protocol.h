// What the updater and the client library both rely on: the names in the
// application root that each of them reads or writes, the markers the
// updater starts the application with, and the main executable's name
// where none is given.
#pragma once

namespace protocol {

// The update log, in the application root.
constexpr const char* log_file_name = "updater.log";

// Created by the new version in the application root to confirm its start.
constexpr const char* confirmation_file_name = ".update-confirmed";

// The first argument of the new version's start after an update, and of
// the old version's start after an update rolled back.
constexpr const char* after_update_marker = "--after-update";
constexpr const char* update_failed_marker = "--update-failed";

// The main executable inside current/ when the command line names none.
constexpr const char* default_main_executable = "app.exe";

}  // namespace protocol
