// Package extraction: every entry of the zip package streamed into the
// destination directory by a small pool of workers, with the outcome of
// extracting the entries in central-directory order. Entry names and link
// targets that could reach outside the destination are refused.
#include "updater.h"

#include "digest.h"
#include "entry_data.h"
#include "extraction_pool.h"
#include "platform.h"

#include <zip.h>

#include <algorithm>
#include <memory>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct zip_archive_closer {
    // The archive is only read, so closing must never write anything back.
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using zip_archive_ptr = std::unique_ptr<zip_t, zip_archive_closer>;

enum class entry_kind { directory, file, symlink };

constexpr zip_uint32_t dos_directory_attribute = 0x10;
constexpr unsigned unix_type_mask = 0170000;
constexpr unsigned unix_symlink_type = 0120000;
constexpr unsigned unix_permission_mask = 0777;
// What the main executable gets where the package records no permissions.
constexpr unsigned executable_mode = 0755;
// Link targets longer than this are not real paths on any platform we run on.
constexpr zip_uint64_t max_symlink_target = 4096;
// The most workers that extract at once (the build may cap it lower): one
// per processor beyond that finds the disk, not the processors, the limit.
constexpr std::size_t max_workers = UPDATER_MAX_WORKERS;

bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

bool has_drive_prefix(const std::string& name)
{
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

// Splits on both separators, dropping empty and "." components.
std::vector<std::string> split_components(const std::string& text)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char c : text + "/") {
        if (!is_separator(c)) {
            part += c;
            continue;
        }
        if (!part.empty() && part != ".")
            parts.push_back(part);
        part.clear();
    }
    return parts;
}

struct entry_info {
    entry_kind kind;
    unsigned mode;  // permission bits, or no_recorded_mode
};

entry_info classify_entry(zip_t* archive, zip_uint64_t index, const std::string& name,
                          const std::vector<std::string>& main_executable)
{
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) != 0)
        attributes = 0;
    entry_info info{entry_kind::file, no_recorded_mode};
    const unsigned unix_mode = attributes >> 16;
    bool unix_symlink = false;
    if (opsys == ZIP_OPSYS_UNIX && unix_mode != 0) {
        info.mode = unix_mode & unix_permission_mask;
        unix_symlink = (unix_mode & unix_type_mask) == unix_symlink_type;
    }
    if ((!name.empty() && name.back() == '/') || (attributes & dos_directory_attribute) != 0)
        info.kind = entry_kind::directory;
    else if (unix_symlink)
        info.kind = entry_kind::symlink;
    // A package zipped on Windows records no permissions: its main
    // executable would be created as a plain file that can't be started.
    if (info.kind == entry_kind::file && info.mode == no_recorded_mode && !main_executable.empty() &&
        split_components(name) == main_executable)
        info.mode = executable_mode;
    return info;
}

// Splits an entry name into path components, treating "/" and "\\" alike and
// dropping empty and "." components. Returns false for a name that could
// leave the destination: absolute, with a drive prefix, or with "..".
bool safe_entry_components(const std::string& name, std::vector<std::string>& components)
{
    components.clear();
    if (name.empty() || is_separator(name[0]) || has_drive_prefix(name))
        return false;
    components = split_components(name);
    for (const std::string& part : components)
        if (part == ".." || !platform_allows_component(part))
            return false;
    return true;
}

// True when a symbolic link stored at the given components, pointing at
// target, resolves inside the destination root.
bool symlink_target_stays_inside(const std::vector<std::string>& link_components, const std::string& target)
{
    // The system reads the target only up to a NUL byte, so a NUL would let
    // it see other components than the ones checked here.
    if (target.empty() || is_separator(target[0]) || has_drive_prefix(target) ||
        target.find('\0') != std::string::npos || link_components.empty())
        return false;
    // ".." is allowed only as a leading run that climbs no higher than the
    // link's own directory depth. A ".." after a name could climb back out
    // through another link, so it is refused.
    std::size_t climbs = 0;
    bool descended = false;
    for (const std::string& part : split_components(target)) {
        if (part != "..") {
            descended = true;
            continue;
        }
        if (descended)
            return false;
        ++climbs;
    }
    return climbs < link_components.size();
}

// Reads the link target as entry data, checked like a file's.
bool read_symlink_target(const entry_source& source, const zip_stat_t& stat, entry_data_buffers& buffers,
                         std::string& target)
{
    if (stat.size == 0 || stat.size > max_symlink_target)
        return false;
    entry_data data;
    if (!open_entry_data(source, stat, buffers, data))
        return false;
    target.clear();
    for (;;) {
        const char* chunk = nullptr;
        const long long got = next_entry_chunk(data, chunk);
        if (got <= 0)
            return got == 0;
        target.append(chunk, static_cast<std::size_t>(got));
    }
}

// Streams the entry's data into a new file; false as soon as reading or
// writing fails, or once an earlier entry has failed. Whatever was written
// stays.
bool extract_file(const entry_source& source, const zip_stat_t& stat, const fs::path& dest,
                  const std::vector<std::string>& parts, unsigned mode, entry_data_buffers& buffers,
                  const entry_walk& walk, write_flusher& flusher, path_failure& directory_failure)
{
    entry_data data;
    if (!open_entry_data(source, stat, buffers, data))
        return false;
    entry_file_ptr file = create_entry_file(dest, parts, mode, directory_failure);
    if (!file)
        return false;
    for (;;) {
        const char* chunk = nullptr;
        const long long got = next_entry_chunk(data, chunk);
        if (got < 0)
            return false;
        if (got == 0)
            return finish_entry_file(std::move(file), stat.mtime);
        if (!write_entry_data(*file, chunk, static_cast<std::size_t>(got)) || is_past_failure(walk, source.index))
            return false;
        note_written(flusher, static_cast<std::uint64_t>(got));
    }
}

bool extract_symlink(const entry_source& source, const zip_stat_t& stat, const fs::path& dest,
                     const std::vector<std::string>& parts, entry_data_buffers& buffers,
                     path_failure& directory_failure)
{
    std::string target;
    return read_symlink_target(source, stat, buffers, target) && symlink_target_stays_inside(parts, target) &&
           write_entry_symlink(dest, parts, target, directory_failure);
}

bool extract_entry_as(const entry_source& source, const zip_stat_t& stat, const entry_info& info,
                      const fs::path& dest, entry_data_buffers& buffers, const entry_walk& walk,
                      write_flusher& flusher, path_failure& directory_failure)
{
    std::vector<std::string> parts;
    if (!safe_entry_components(stat.name, parts))
        return false;
    if (info.kind == entry_kind::directory)
        return create_entry_directories(dest, parts, info.mode, directory_failure);
    if (parts.empty())
        return false;
    if (info.kind == entry_kind::symlink)
        return extract_symlink(source, stat, dest, parts, buffers, directory_failure);
    return extract_file(source, stat, dest, parts, info.mode, buffers, walk, flusher, directory_failure);
}

// Returns false for an entry that must be refused or could not be written;
// a directory that can't be created is a failure of its own, reported as
// the file-system library words it.
bool extract_entry(const entry_source& source, const zip_stat_t& stat, const entry_info& info,
                   const fs::path& dest, entry_data_buffers& buffers, const entry_walk& walk,
                   write_flusher& flusher, entry_failure& failure)
{
    path_failure directory_failure;
    if (extract_entry_as(source, stat, info, dest, buffers, walk, flusher, directory_failure))
        return true;
    if (directory_failure.error) {
        failure.kind = failure_kind::directory;
        failure.what = fs::filesystem_error("create_directories", directory_failure.where, directory_failure.error)
                           .what();
    }
    return false;
}

// ---- The plan -----------------------------------------------------------------

// What the quick pass over the names finds, and what the workers read
// instead of asking the zip library, whose handle they don't share.
struct package_plan {
    entry_schedule schedule;
    // The entry at schedule.count when it fails whatever the entries before
    // it do (it has no name, or an unsafe one).
    entry_failure known_failure;
    std::vector<zip_stat_t> stats;  // names valid while the archive is open
    std::vector<entry_info> infos;
    std::vector<std::uint64_t> local_headers;
    std::uint64_t paths = 0;           // distinct output paths scheduled
    bool conflict = false;             // only the order settles some names
    bool needs_library = false;        // some data only the zip library reads
};

bool stat_entry(zip_t* archive, zip_uint64_t index, zip_stat_t& stat)
{
    zip_stat_init(&stat);
    return zip_stat_index(archive, index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_NAME) != 0;
}

// Looks at one entry; false when the walk in order would stop at it
// whatever the entries before it do.
bool plan_entry(zip_t* archive, zip_uint64_t index, const std::vector<std::string>& main_executable,
                package_plan& plan, path_survey& survey)
{
    zip_stat_t stat;
    if (!stat_entry(archive, index, stat)) {
        plan.known_failure = {index, failure_kind::stat, {}};
        return false;
    }
    const entry_info info = classify_entry(archive, index, stat.name, main_executable);
    std::vector<std::string> parts;
    const bool directory = info.kind == entry_kind::directory;
    if (!safe_entry_components(stat.name, parts) || (!directory && parts.empty())) {
        plan.known_failure = {index, failure_kind::extract, {}};
        return false;
    }
    plan.stats.push_back(stat);
    plan.infos.push_back(info);
    plan.needs_library = plan.needs_library || (!directory && read_through_library(stat));
    std::vector<std::size_t> hashes;
    survey.conflict = survey.conflict || !path_hashes(parts, hashes);
    survey_entry(survey, plan.schedule, index, directory, hashes);
    return true;
}

package_plan plan_extraction(zip_t* archive, zip_uint64_t count, const std::vector<std::string>& main_executable)
{
    package_plan plan;
    plan.schedule.next_of_path.assign(count, no_entry);
    plan.schedule.follows.assign(count, false);
    path_survey survey;
    zip_uint64_t index = 0;
    while (index < count && plan_entry(archive, index, main_executable, plan, survey))
        ++index;
    entry_schedule& schedule = plan.schedule;
    schedule.count = plan.stats.size();
    plan.paths = static_cast<std::uint64_t>(
        std::count(schedule.follows.begin(), schedule.follows.begin() + schedule.count, false));
    plan.conflict = paths_conflict(survey);
    if (plan.conflict) {
        // One worker taking the entries strictly in order is the walk itself.
        schedule.next_of_path.assign(count, no_entry);
        schedule.follows.assign(count, false);
    }
    return plan;
}

// One worker per processor, at most max_workers, no more than there are
// paths to write; one where only the order settles some names, and where
// the data must be read through the zip library's one handle.
std::size_t pool_size(const package_plan& plan, bool located)
{
    if (plan.conflict || plan.needs_library || !located)
        return 1;
    const std::uint64_t processors = std::max(1u, std::thread::hardware_concurrency());
    const std::uint64_t paths = std::max<std::uint64_t>(1, plan.paths);
    return static_cast<std::size_t>(std::min<std::uint64_t>({processors, max_workers, paths}));
}

// ---- The workers ------------------------------------------------------------

zip_archive_ptr open_package(const std::string& package_path)
{
    int open_error = 0;
    // Not ZIP_CHECKCONS: it rejects archives that name a path twice, which
    // must extract with the later entry winning. Every entry's data is still
    // checked against its CRC-32 and size as it is read.
    return zip_archive_ptr(zip_open(package_path_for_zip(package_path).c_str(), ZIP_RDONLY, &open_error));
}

// What a worker reads and inflates with: its own handle on the package,
// its buffers and its decoder. Worker 0 also holds the zip library's
// handle, for data that only the library reads.
struct worker_tools {
    package_file_ptr package;
    zip_t* archive;
    entry_data_buffers buffers;
};

// Descriptors a worker holds at once while it writes: the directory it
// walks down from, the one it walks into, and the file.
constexpr std::size_t handles_per_writer = 3;

// Opens the handles of the workers after the first while the descriptors
// that every worker writes with remain to spare; a handle that can't be
// opened means one worker fewer.
void add_workers(std::vector<worker_tools>& tools, const std::string& package_path, std::size_t wanted)
{
    while (tools.size() < wanted && handles_to_spare(1 + (tools.size() + 1) * handles_per_writer)) {
        package_file_ptr package = open_package_file(package_path);
        if (!package)
            return;
        tools.push_back({std::move(package), nullptr, new_entry_data_buffers()});
    }
}

// The bytes of the package's files, as their entries record them.
std::uint64_t file_bytes(const package_plan& plan)
{
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < plan.stats.size(); ++i)
        if (plan.infos[i].kind == entry_kind::file && (plan.stats[i].valid & ZIP_STAT_SIZE))
            total += plan.stats[i].size;
    return total;
}

entry_failure extract_entries(zip_t* archive, const std::string& package_path, zip_uint64_t count,
                              const fs::path& dest, const extraction_options& options)
{
    package_plan plan = plan_extraction(archive, count, split_components(options.main_executable));
    std::vector<worker_tools> tools;
    tools.push_back({open_package_file(package_path), archive, new_entry_data_buffers()});
    plan.local_headers.assign(plan.stats.size(), unknown_offset);
    const bool located = tools[0].package && read_local_header_offsets(*tools[0].package, archive, count, plan.stats,
                                                                       tools[0].buffers, plan.local_headers);
    // The flusher's descriptor, then the workers', as long as worker 0 keeps
    // enough to write with.
    write_flusher flusher;
    if (handles_to_spare(1 + handles_per_writer))
        start_write_flusher(flusher, dest);
    scope_exit stop_flusher{[&flusher] { stop_write_flusher(flusher); }};
    progress_reporter reporter;
    start_progress_reporter(reporter, flusher.written, file_bytes(plan), options.progress);
    scope_exit stop_reporter{[&reporter] { stop_progress_reporter(reporter); }};
    add_workers(tools, package_path, pool_size(plan, located));
    prepare_entry_writers();
    const entry_failure failure =
        run_entry_pool(plan.schedule, tools.size(),
                       [&](std::size_t worker, std::uint64_t index, const entry_walk& walk, entry_failure& failure) {
                           worker_tools& own = tools[worker];
                           const entry_source source{own.package.get(), plan.local_headers[index], own.archive, index};
                           return extract_entry(source, plan.stats[index], plan.infos[index], dest, own.buffers, walk,
                                                flusher, failure);
                       });
    return failure.index != no_entry ? failure : plan.known_failure;
}

// Logs the failure as the walk in order meets it.
bool report_failure(zip_t* archive, const entry_failure& failure)
{
    if (failure.kind == failure_kind::directory || failure.kind == failure_kind::exception) {
        spdlog::error("{}", failure.what);
        return false;
    }
    zip_stat_t stat;
    if (failure.kind == failure_kind::stat || !stat_entry(archive, failure.index, stat))
        spdlog::error("Failed to stat file index {}", failure.index);
    else
        spdlog::error("Failed to extract: {}", stat.name);
    return false;
}

// ---- The package's digest ------------------------------------------------------

// The whole package read through a handle of its own and hashed, on a
// thread beside the workers, so that the digest costs a processor's time
// rather than the extraction's.
struct package_digest {
    std::atomic<bool> stopping{false};
    std::string hex;  // empty when the package could not be read or hashed
    std::thread thread;
};

constexpr std::size_t digest_chunk = 1 << 20;

std::string sha256_of_package(const std::string& package_path, const std::atomic<bool>& stopping)
{
    const package_file_ptr package = open_package_file(package_path);
    const sha256_ptr digest = new_sha256();
    std::uint64_t size = 0;
    if (!package || !digest || !package_file_size(*package, size))
        return {};
    std::vector<unsigned char> buffer(digest_chunk);
    // Read in order, so that the system reads ahead by itself.
    for (std::uint64_t at = 0; at < size && !stopping;) {
        const long long got = read_package_at(*package, at, buffer.data(), buffer.size());
        if (got <= 0 || !sha256_update(*digest, buffer.data(), static_cast<std::size_t>(got)))
            return {};
        at += static_cast<std::uint64_t>(got);
    }
    std::string hex;
    return !stopping && sha256_finish(*digest, hex) ? hex : std::string();
}

void start_package_digest(package_digest& digest, const std::string& package_path)
{
    try {
        digest.thread = std::thread([&digest, package_path] {
            // The workers go first; the digest takes the processors they
            // leave idle, and the end of the extraction waits for the rest.
            yield_processors_to_other_threads();
            digest.hex = sha256_of_package(package_path, digest.stopping);
        });
    } catch (const std::system_error&) {
    }
}

// Waits for the digest; stops it first where it no longer matters.
// Where no thread could be started, it is computed now.
void finish_package_digest(package_digest& digest, const std::string& package_path, bool needed)
{
    digest.stopping = !needed;
    if (digest.thread.joinable())
        digest.thread.join();
    else if (needed)
        digest.hex = sha256_of_package(package_path, digest.stopping);
}

// The package extracted must be the one whose digest the caller was given.
bool digest_matches(const std::string& package_path, const std::string& expected, const std::string& actual)
{
    if (actual.empty()) {
        spdlog::error("Failed to compute the SHA-256 of {}", package_path);
        return false;
    }
    if (actual == expected)
        return true;
    spdlog::error("SHA-256 of {} is {}, not the expected {}", package_path, actual, expected);
    return false;
}

}  // namespace

namespace {

bool extract_package(const std::string& package_path, const std::string& dest_dir,
                     const extraction_options& options)
{
    zip_archive_ptr archive = open_package(package_path);
    if (!archive) {
        spdlog::error("Failed to open zip: {}", package_path);
        return false;
    }
    package_digest digest;
    if (!options.sha256.empty())
        start_package_digest(digest, package_path);
    scope_exit stop_digest{[&digest, &package_path] { finish_package_digest(digest, package_path, false); }};
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    spdlog::info("Extracting {} files from {}", count, package_path);
    const entry_failure failure = extract_entries(archive.get(), package_path, static_cast<zip_uint64_t>(count),
                                                  path_from_narrow(dest_dir), options);
    if (failure.index != no_entry)
        return report_failure(archive.get(), failure);
    archive.reset();
    if (!options.sha256.empty()) {
        finish_package_digest(digest, package_path, true);
        if (!digest_matches(package_path, options.sha256, digest.hex))
            return false;
    }
    spdlog::info("Extraction complete: {} files", count);
    return true;
}

}  // namespace

// The errors a library raises (a name the encoding can't convert, memory
// running out) end the extraction as its failure.
bool extract_zip(const std::string& package_path, const std::string& dest_dir, const extraction_options& options)
{
    try {
        return extract_package(package_path, dest_dir, options);
    } catch (const std::exception& error) {
        spdlog::error("{}", error.what());
        return false;
    }
}
