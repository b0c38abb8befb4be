// The extraction pool: workers take entries in package order from one
// counter, each entry together with the later entries of its output path,
// and keep the first failure in package order; beside them a thread
// flushes what they write.
#include "extraction_pool.h"

#include "platform.h"

#include <algorithm>
#include <system_error>
#include <thread>

bool path_hashes(const std::vector<std::string>& parts, std::vector<std::size_t>& hashes)
{
    hashes.clear();
    std::string key;
    for (const std::string& part : parts) {
        const std::string part_key = name_lookup_key(part);
        if (part_key.empty())
            return false;
        key += part_key;
        key += '/';
        hashes.push_back(std::hash<std::string>{}(key));
    }
    return true;
}

void survey_entry(path_survey& survey, entry_schedule& schedule, std::uint64_t index, bool directory,
                  const std::vector<std::size_t>& hashes)
{
    if (hashes.empty())
        return;  // the destination itself
    survey.parents.insert(hashes.begin(), hashes.end() - 1);
    if (!directory)
        survey.leaves.insert(hashes.back());
    const auto [use, first] = survey.paths.try_emplace(hashes.back(), path_use{index, directory});
    if (first)
        return;
    survey.conflict = survey.conflict || use->second.directory != directory;
    schedule.next_of_path[use->second.last] = index;
    schedule.follows[index] = true;
    use->second.last = index;
}

bool paths_conflict(const path_survey& survey)
{
    return survey.conflict || std::any_of(survey.leaves.begin(), survey.leaves.end(), [&](std::size_t leaf) {
               return survey.parents.count(leaf) != 0;
           });
}

namespace {

// Keeps the failure that comes first in package order. An entry stopped
// because an earlier one failed lands here too, and is dropped as later.
void record_failure(entry_walk& walk, const entry_failure& failure)
{
    const std::lock_guard<std::mutex> lock(walk.failure_mutex);
    if (failure.index >= walk.failure.index)
        return;
    walk.failure = failure;
    walk.first_failed.store(failure.index, std::memory_order_relaxed);
}

// An error a library raises while the entry is extracted ends the walk
// there, like any failure of the entry: nothing may leave a worker's thread.
void run_entry(const extract_function& extract_one, std::size_t worker, std::uint64_t index, entry_walk& walk)
{
    entry_failure failure{index, failure_kind::extract, {}};
    try {
        if (extract_one(worker, index, walk, failure))
            return;
    } catch (const std::exception& error) {
        failure = {index, failure_kind::exception, error.what()};
    } catch (...) {
        failure = {index, failure_kind::exception, "unexpected error"};
    }
    failure.index = index;
    record_failure(walk, failure);
}

// Takes the next entry not yet taken, with the later entries of its path,
// until none is left or the next lies past a failure.
void run_worker(const entry_schedule& schedule, const extract_function& extract_one, std::size_t worker,
                entry_walk& walk)
{
    for (;;) {
        const std::uint64_t first = walk.next_entry.fetch_add(1, std::memory_order_relaxed);
        if (first >= schedule.count || is_past_failure(walk, first))
            return;
        if (schedule.follows[first])
            continue;
        for (std::uint64_t index = first; index != no_entry && !is_past_failure(walk, index);
             index = schedule.next_of_path[index])
            run_entry(extract_one, worker, index, walk);
    }
}

}  // namespace

bool is_past_failure(const entry_walk& walk, std::uint64_t index)
{
    return walk.first_failed.load(std::memory_order_relaxed) < index;
}

entry_failure run_entry_pool(const entry_schedule& schedule, std::size_t worker_count,
                             const extract_function& extract_one)
{
    entry_walk walk;
    {
        std::vector<std::thread> threads;
        scope_exit join_threads{[&threads] {
            for (std::thread& thread : threads)
                thread.join();
        }};
        for (std::size_t worker = 1; worker < worker_count; ++worker) {
            try {
                threads.emplace_back(run_worker, std::cref(schedule), std::cref(extract_one), worker,
                                     std::ref(walk));
            } catch (const std::system_error&) {
                break;
            }
        }
        run_worker(schedule, extract_one, 0, walk);
    }
    return walk.failure;
}

namespace {

void run_write_flusher(write_flusher& flusher)
{
    std::uint64_t flushed = 0;  // stretches written before the last flush began
    const auto stretches_written = [&flusher] { return flusher.written.load() / flush_stretch; };
    std::unique_lock<std::mutex> lock(flusher.mutex);
    for (;;) {
        flusher.wake.wait(lock, [&] { return flusher.stopping || stretches_written() != flushed; });
        if (flusher.stopping)
            return;
        flushed = stretches_written();
        lock.unlock();
        flush_written_so_far(*flusher.tree);
        lock.lock();
    }
}

}  // namespace

void start_write_flusher(write_flusher& flusher, const std::filesystem::path& dir)
{
    flusher.tree = hold_tree(dir);
    if (!flusher.tree)
        return;
    try {
        flusher.thread = std::thread(run_write_flusher, std::ref(flusher));
    } catch (const std::system_error&) {
    }
}

void note_written(write_flusher& flusher, std::uint64_t bytes)
{
    const std::uint64_t before = flusher.written.fetch_add(bytes);
    if ((before + bytes) / flush_stretch == before / flush_stretch)
        return;
    // Taking the lock orders the new count before the thread's next look
    // at it, so the wake-up can't fall between its look and its wait.
    { const std::lock_guard<std::mutex> lock(flusher.mutex); }
    flusher.wake.notify_one();
}

void stop_write_flusher(write_flusher& flusher)
{
    {
        const std::lock_guard<std::mutex> lock(flusher.mutex);
        flusher.stopping = true;
    }
    flusher.wake.notify_one();
    if (flusher.thread.joinable())
        flusher.thread.join();
}

namespace {

void run_progress_reporter(progress_reporter& reporter)
{
    std::unique_lock<std::mutex> lock(reporter.mutex);
    while (!reporter.wake.wait_for(lock, progress_interval, [&reporter] { return reporter.stopping; }))
        reporter.report(reporter.written->load(), reporter.total);
}

}  // namespace

void start_progress_reporter(progress_reporter& reporter, const std::atomic<std::uint64_t>& written,
                             std::uint64_t total,
                             const std::function<void(std::uint64_t written, std::uint64_t total)>& report)
{
    reporter.report = report;
    reporter.written = &written;
    reporter.total = total;
    if (!report)
        return;
    try {
        reporter.thread = std::thread(run_progress_reporter, std::ref(reporter));
    } catch (const std::system_error&) {
    }
}

void stop_progress_reporter(progress_reporter& reporter)
{
    {
        const std::lock_guard<std::mutex> lock(reporter.mutex);
        reporter.stopping = true;
    }
    reporter.wake.notify_one();
    if (reporter.thread.joinable())
        reporter.thread.join();
    if (reporter.report)
        reporter.report(reporter.written->load(), reporter.total);
}
