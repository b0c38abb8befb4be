// Every layout a run can find in the application root, built on disk,
// classified and repaired in process: the name it gets, and what the
// repair leaves (the application in `current`, `.version`, nothing else
// waiting, the lines logged).
#include "test_support.h"
#include "update_layout.h"
#include "updater.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <sstream>

using namespace test;

namespace {

using tree = std::map<std::string, std::string>;
using lines = std::vector<std::string>;

const tree old_files{{"app.exe", "old program"}, {"old.txt", "old"}};
const tree new_files{{"app.exe", "new program"}, {"new.txt", "new"}};

// What `current` is.
enum class live { old_files, new_files, partial, empty, file, link, none };

// A layout as a run finds it. The backup always holds the old files.
struct on_disk {
    live current = live::old_files;
    bool backup = false;
    bool marker = false;
    const char* version = "1.0";     // .version, or null for none
    const char* staged = nullptr;    // .version.new
    const char* previous = nullptr;  // .version.old
    bool none_before = false;        // .version.none
    bool staged_is_link = false;
    bool backup_is_link = false;
    bool copy = false;    // current.new
    bool record = false;  // current.new.ready
    bool set_aside = false;
    bool confirmation = false;
};

// What the repair must leave.
struct repaired {
    const tree* current;  // null: none
    const char* version;  // null: none
    lines log;
};

struct row {
    std::string what;
    on_disk found;
    application_layout application;
    prepared_layout prepared;
    repaired after;
};

class layout_repair : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto logger = std::make_shared<spdlog::logger>(
            "updater", std::make_shared<spdlog::sinks::ostream_sink_mt>(logged));
        logger->set_pattern("%v");
        spdlog::set_default_logger(logger);
        write_tree(elsewhere, new_files);
        write_file(planted, "6.6\n");
    }

    void TearDown() override { spdlog::set_default_logger(nullptr); }

    static void write_tree(const fs::path& dir, const tree& files)
    {
        fs::create_directories(dir);
        for (const auto& [name, content] : files)
            write_file(dir / name, content);
    }

    void build(const on_disk& found)
    {
        fs::remove_all(root);
        fs::create_directories(root);
        const fs::path current = root / "current";
        switch (found.current) {
        case live::old_files: write_tree(current, old_files); break;
        case live::new_files: write_tree(current, new_files); break;
        case live::partial: write_tree(current, {{"new.txt", "ne"}}); break;
        case live::empty: fs::create_directory(current); break;
        case live::file: write_file(current, "not an application"); break;
        case live::link: fs::create_directory_symlink(elsewhere, current); break;
        case live::none: break;
        }
        if (found.backup_is_link)
            fs::create_directory_symlink(elsewhere, root / "current.bak");
        else if (found.backup)
            write_tree(root / "current.bak", old_files);
        const auto put = [&](const char* name, const char* version) {
            if (version)
                write_file(root / name, std::string(version) + "\n");
        };
        put(".version", found.version);
        put(".version.new", found.staged);
        put(".version.old", found.previous);
        if (found.staged_is_link)
            fs::create_symlink(planted, root / ".version.new");
        // The record names the version an update wrote where there was none.
        if (found.none_before)
            write_file(root / ".version.none", "2.0\n");
        if (found.marker)
            write_file(root / "current.incomplete", "");
        if (found.copy)
            write_tree(root / "current.new", new_files);
        if (found.record)
            write_file(root / "current.new.ready", "version 322e30\n");
        if (found.set_aside) {
            write_tree(root / "updater.trash.1", old_files);
            write_file(root / "updater.trash.package", "a copy");
        }
        if (found.confirmation)
            write_file(root / ".update-confirmed", "");
    }

    // Names in the root beyond an application's own and a complete copy.
    lines strays() const
    {
        lines names;
        for (const auto& entry : fs::directory_iterator(root)) {
            const std::string name = entry.path().filename().string();
            const bool copy = name == "current.new" || name == "current.new.ready";
            const bool own = name == "current" || name == ".version" || name == ".update-confirmed";
            if (!own && !(copy && fs::exists(root / "current.new") && fs::exists(root / "current.new.ready")))
                names.push_back(name);
        }
        return names;
    }

    lines logged_lines()
    {
        lines all;
        std::istringstream in(logged.str());
        for (std::string line; std::getline(in, line);)
            all.push_back(line);
        logged.str("");
        return all;
    }

    scratch_dir dir;
    fs::path root = dir.path / "root";
    fs::path elsewhere = dir.path / "elsewhere";
    fs::path planted = dir.path / "planted";
    std::ostringstream logged;
};

// An installed application with one of the updater's or the
// application's own names beside it.
on_disk installed_with(bool copy, bool record, bool set_aside = false, bool confirmation = false)
{
    on_disk found;
    found.copy = copy;
    found.record = record;
    found.set_aside = set_aside;
    found.confirmation = confirmation;
    return found;
}

const lines restoring{"Found stale backup, restoring current from current.bak"};
const lines restoring_marked{"Found incomplete current from an interrupted update",
                             "Found stale backup, restoring current from current.bak"};
const lines discarding{"Removing leftover current.bak from previous update"};

using app = application_layout;
using copy = prepared_layout;

const std::vector<row> rows{
    // The application.
    {"installed", {}, app::installed, copy::none, {&old_files, "1.0", {}}},
    {"no application", {live::none}, app::no_application, copy::none, {nullptr, "1.0", {}}},
    {"stale backup, no current", {live::none, true}, app::stale_backup, copy::none, {&old_files, "1.0", restoring}},
    {"stale backup, empty current", {live::empty, true}, app::stale_backup, copy::none,
     {&old_files, "1.0", restoring}},
    {"stale backup, a file named current", {live::file, true}, app::stale_backup, copy::none,
     {&old_files, "1.0", restoring}},
    {"stale backup, a link named current", {live::link, true}, app::stale_backup, copy::none,
     {&old_files, "1.0", restoring}},
    {"update cut short while extracting", {live::partial, true, true}, app::update_cut_short, copy::none,
     {&old_files, "1.0", restoring_marked}},
    {"update cut short beside complete new files", {live::new_files, true, true}, app::update_cut_short,
     copy::none, {&old_files, "1.0", restoring_marked}},
    {"update committed", {live::new_files, true}, app::update_committed, copy::none,
     {&new_files, "1.0", discarding}},
    {"update committed, the backup a link", {live::new_files, false, false, "1.0", nullptr, nullptr, false, false, true},
     app::update_committed, copy::none, {&new_files, "1.0", discarding}},
    {"rollback cut short", {live::old_files, false, true}, app::rollback_cut_short, copy::none,
     {&old_files, "1.0", {}}},

    // The staged version goes in place where the new files stay.
    {"staged, update committed", {live::new_files, true, false, "1.0", "2.0"}, app::update_committed, copy::none,
     {&new_files, "2.0", discarding}},
    {"staged, waiting for another try", {live::new_files, false, false, "1.0", "2.0"}, app::installed, copy::none,
     {&new_files, "2.0", {}}},
    {"staged, update cut short", {live::partial, true, true, "1.0", "2.0"}, app::update_cut_short, copy::none,
     {&old_files, "1.0", restoring_marked}},
    {"staged, rollback cut short", {live::old_files, false, true, "1.0", "2.0"}, app::rollback_cut_short,
     copy::none, {&old_files, "1.0", {}}},
    {"staged as a link", {live::new_files, false, false, "1.0", nullptr, nullptr, false, true}, app::installed,
     copy::none, {&new_files, "1.0", {}}},

    // The previous version goes back where the old files come back.
    {"previous, start check's rollback cut short", {live::new_files, true, true, "2.0", nullptr, "1.0"},
     app::update_cut_short, copy::none, {&old_files, "1.0", restoring_marked}},
    {"previous, start check under way", {live::new_files, true, false, "2.0", nullptr, "1.0"},
     app::update_committed, copy::none, {&new_files, "2.0", discarding}},
    {"previous, restore done", {live::old_files, false, true, "2.0", nullptr, "1.0"}, app::rollback_cut_short,
     copy::none, {&old_files, "1.0", {}}},

    // Where there was no `.version`, none comes back with the old files.
    {"none before, start check's rollback cut short", {live::new_files, true, true, "2.0", nullptr, nullptr, true},
     app::update_cut_short, copy::none, {&old_files, nullptr, restoring_marked}},
    {"none before, start check under way", {live::new_files, true, false, "2.0", nullptr, nullptr, true},
     app::update_committed, copy::none, {&new_files, "2.0", discarding}},
    {"none before, restore done", {live::old_files, false, true, "2.0", nullptr, nullptr, true},
     app::rollback_cut_short, copy::none, {&old_files, nullptr, {}}},
    {"none before, confirmed", {live::new_files, false, false, "2.0", nullptr, nullptr, true}, app::installed,
     copy::none, {&new_files, "2.0", {}}},
    // A record left from an update long ago never takes a later version.
    {"none before another version", {live::old_files, false, true, "3.0", nullptr, nullptr, true},
     app::rollback_cut_short, copy::none, {&old_files, "3.0", {}}},

    // The prepared copy.
    {"preparation cut short", installed_with(true, false), app::installed, copy::copy_cut_short,
     {&old_files, "1.0", {"Removing incomplete current.new from an interrupted preparation"}}},
    {"a record without its copy", installed_with(false, true), app::installed, copy::record_alone, {&old_files, "1.0", {}}},
    {"a complete copy", installed_with(true, true), app::installed, copy::complete, {&old_files, "1.0", {}}},

    // What is the updater's own, and the application's.
    {"set aside", installed_with(false, false, true), app::installed, copy::none, {&old_files, "1.0", {}}},
    {"a confirmation", installed_with(false, false, false, true), app::installed, copy::none, {&old_files, "1.0", {}}},
};

TEST_F(layout_repair, every_layout_is_named_and_repaired_to_one_application_with_its_version)
{
    const layout_paths paths = make_layout_paths(root.string());
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        build(r.found);
        const root_layout found = classify_layout(paths);
        EXPECT_EQ(found.application, r.application);
        EXPECT_EQ(found.prepared, r.prepared);
        EXPECT_EQ(found.versions.staged, r.found.staged != nullptr || r.found.staged_is_link);
        EXPECT_EQ(found.versions.previous, r.found.previous != nullptr);
        EXPECT_EQ(found.versions.none_before, r.found.none_before);
        EXPECT_EQ(found.set_aside, r.found.set_aside);
        EXPECT_EQ(found.confirmation, r.found.confirmation);

        EXPECT_TRUE(repair_layout(paths, found));
        EXPECT_EQ(logged_lines(), r.after.log);
        const root_layout left = classify_layout(paths);
        EXPECT_TRUE(is_settled(left));
        EXPECT_EQ(left.confirmation, r.found.confirmation);
        if (r.after.current)
            EXPECT_EQ(tree_contents(root / "current"), *r.after.current);
        else
            EXPECT_FALSE(fs::exists(root / "current"));
        if (r.after.version)
            EXPECT_EQ(read_file(root / ".version"), std::string(r.after.version) + "\n");
        else
            EXPECT_FALSE(fs::exists(root / ".version"));
        EXPECT_EQ(strays(), lines{});
        // Nothing outside the root is touched.
        EXPECT_EQ(tree_contents(elsewhere), new_files);
        EXPECT_EQ(read_file(planted), "6.6\n");
    }
}

}  // namespace
