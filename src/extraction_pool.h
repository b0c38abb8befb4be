// The pool of threads that extracts a package's entries, with the outcome
// of extracting them one after another in package order: the entry
// reported is the first to fail in that order, the entries of one output
// path are extracted in order by one worker, and once an entry has failed
// no later entry is started and those under way stop. Also the survey of
// the entries' paths that tells which entries go together, and whether the
// order alone settles what some of them become. And the thread that
// flushes what the workers write as they go.
#pragma once

#include "platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

constexpr std::uint64_t no_entry = UINT64_MAX;

// Which entries the pool extracts, and which of them go together.
struct entry_schedule {
    std::uint64_t count = 0;  // entries 0 .. count-1
    // For each entry the next entry with the same output path, or no_entry.
    std::vector<std::uint64_t> next_of_path;
    // True for an entry that the worker taking an earlier entry of its
    // path extracts after that one.
    std::vector<bool> follows;
};

// ---- The survey of the paths ----------------------------------------------

// Hashes of an entry's path and of each directory above it, the top one
// first, formed from the keys the file system looks names up by
// (name_lookup_key). Equal paths always hash alike; paths whose hashes
// merely collide are taken for one, which costs parallelism and nothing
// else. False when a name has no such key.
[[nodiscard]] bool path_hashes(const std::vector<std::string>& parts, std::vector<std::size_t>& hashes);

struct path_use {
    std::uint64_t last;  // the latest entry with this path so far
    bool directory;
};

// The paths met so far.
struct path_survey {
    std::unordered_map<std::size_t, path_use> paths;
    std::unordered_set<std::size_t> parents;  // directories that entries lie below
    std::unordered_set<std::size_t> leaves;   // paths of files and links
    bool conflict = false;
};

// Adds the next entry in package order, given its path's hashes, and
// chains it to the previous entry of its path.
void survey_entry(path_survey& survey, entry_schedule& schedule, std::uint64_t index, bool directory,
                  const std::vector<std::size_t>& hashes);

// True when the order of the entries settles what some of them become: a
// file or link where another entry has a directory, or below which another
// entry lies, or a name without a key.
bool paths_conflict(const path_survey& survey);

// ---- Running the pool -------------------------------------------------------

// What stopped the walk at an entry: its information can't be read; it
// can't be extracted; a directory for it can't be created; or the entry's
// extraction raised an error of a library.
enum class failure_kind { stat, extract, directory, exception };

struct entry_failure {
    std::uint64_t index = no_entry;  // no_entry: nothing failed
    failure_kind kind = failure_kind::extract;
    std::string what;  // for a directory or an error raised: the text to log
};

// What the workers share while they extract.
struct entry_walk {
    std::atomic<std::uint64_t> next_entry{0};
    std::atomic<std::uint64_t> first_failed{no_entry};
    std::mutex failure_mutex;
    entry_failure failure;
};

// True once an entry before index has failed: a walk in package order
// would never have reached index.
bool is_past_failure(const entry_walk& walk, std::uint64_t index);

// Extracts one entry with the given worker's own handle and buffers;
// false when it fails, with failure's kind and text set where the failure
// is not a plain extraction failure. It may stop early once
// is_past_failure holds for the entry. What it raises is the entry's
// failure too.
using extract_function =
    std::function<bool(std::size_t worker, std::uint64_t index, const entry_walk& walk, entry_failure& failure)>;

// Runs workers 0 .. worker_count-1, worker 0 on the calling thread, until
// every scheduled entry is extracted or no more may be; returns the first
// failure in package order. Fewer workers run where the system refuses a
// thread; the others then take its share.
entry_failure run_entry_pool(const entry_schedule& schedule, std::size_t worker_count,
                             const extract_function& extract_one);

// ---- Flushing as the workers write ---------------------------------------------

// The extraction ends by making every file it wrote durable. Left to that
// moment, the whole package waits for the disk (and on a virtual machine
// for the host, which keeps the writes in its own cache until asked), while
// the processors idle. So a thread flushes what has been written so far
// each time another flush_stretch bytes are written: the final flush then
// finds little to do. The flush itself writes the data out, in the
// thread's time rather than the workers'.
constexpr std::uint64_t flush_stretch = 32ull << 20;

struct write_flusher {
    tree_hold_ptr tree;  // a hold of its own, held for as long as it runs
    std::atomic<std::uint64_t> written{0};
    std::mutex mutex;  // for wake and stopping
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

// Starts flushing what is written below dir; without a thread when the
// system refuses one or dir can't be held (the final flush then does it
// all).
void start_write_flusher(write_flusher& flusher, const std::filesystem::path& dir);

// Counts bytes written, and wakes the thread once another stretch is full.
void note_written(write_flusher& flusher, std::uint64_t bytes);

// Waits for the flush under way, if any, and ends the thread.
void stop_write_flusher(write_flusher& flusher);

// ---- Reporting progress ---------------------------------------------------------

constexpr auto progress_interval = std::chrono::milliseconds(200);

// Hands the bytes written so far, of the total, to report every
// progress_interval from a thread of its own, and once more when it stops.
struct progress_reporter {
    std::function<void(std::uint64_t written, std::uint64_t total)> report;
    const std::atomic<std::uint64_t>* written = nullptr;
    std::uint64_t total = 0;
    std::mutex mutex;  // for wake and stopping
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

// Starts reporting, unless report is empty; without a thread when the
// system refuses one (only the last report is made then).
void start_progress_reporter(progress_reporter& reporter, const std::atomic<std::uint64_t>& written,
                             std::uint64_t total,
                             const std::function<void(std::uint64_t written, std::uint64_t total)>& report);

// Ends the thread and reports once more.
void stop_progress_reporter(progress_reporter& reporter);
