// Removing a directory tree on Windows without ever leaving it: links and
// junctions are removed as themselves, never entered; read-only entries are
// made writable; only names are kept on the way, never handles, so the depth
// of a tree costs memory, not handles. What other programs hold is waited
// for a while.
#include "platform_win32.h"

namespace fs = std::filesystem;

namespace {

// Clears the read-only attribute of the entry itself, which would stop its
// removal. The handle is opened on the entry, never on what a link or
// junction points at.
void clear_read_only(const fs::path& path, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return;
    HANDLE handle = ::CreateFileW(system_path(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    scope_exit close_handle{[handle] { ::CloseHandle(handle); }};
    constexpr DWORD settable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;
    FILE_BASIC_INFO info{};
    info.FileAttributes = (attributes & settable) ? (attributes & settable) : FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info);
}

// Removes one entry that is not walked into, or an emptied directory.
// RemoveDirectoryW on a directory link or junction removes the link and
// leaves its target alone. A link that only its final path gives away acts
// on its target whatever is asked, so it is left where it is.
std::error_code remove_entry(const std::wstring& dir_final, const fs::path& path, DWORD attributes)
{
    if (!is_plain_directory(attributes) && is_hidden_link(dir_final, path))
        return link_left_alone();
    clear_read_only(path, attributes);
    const std::wstring name = system_path(path);
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(name.c_str())
                                                                 : ::DeleteFileW(name.c_str());
    return removed ? std::error_code() : last_error();
}

struct pending_directory {
    fs::path path;
    DWORD attributes;
    bool emptied;
};

// Keeps the first failure: the directories above it fail because of it.
void note_failure(path_failure& failure, const fs::path& where, std::error_code error)
{
    if (error && !failure.error)
        failure = {where, error};
}

// Removes what dir holds except its plain subdirectories, which go onto the
// stack to be emptied in turn. Only names are kept, never handles, so the
// depth of the tree costs memory, not handles.
void empty_directory(const fs::path& dir, std::vector<pending_directory>& stack, path_failure& failure)
{
    std::vector<found_entry> entries;
    if (!find_entries(dir, entries)) {
        note_failure(failure, dir, last_error());
        return;
    }
    const std::wstring dir_final = final_path_for_links(dir);
    for (const found_entry& entry : entries) {
        const fs::path path = dir / entry.name;
        if (is_plain_directory(entry.attributes))
            stack.push_back({path, entry.attributes, false});
        else
            note_failure(failure, path, remove_entry(dir_final, path, entry.attributes));
    }
}

std::error_code remove_tree_once(const fs::path& target, path_failure& failure)
{
    failure = {};
    const DWORD attributes = ::GetFileAttributesW(system_path(target).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (is_absent_error(::GetLastError()))
            return {};
        note_failure(failure, target, last_error());
        return failure.error;
    }
    if (!is_plain_directory(attributes)) {
        note_failure(failure, target, remove_entry(final_path_for_links(target.parent_path()), target, attributes));
        return failure.error;
    }
    std::vector<pending_directory> stack{{target, attributes, false}};
    while (!stack.empty()) {
        if (!stack.back().emptied) {
            stack.back().emptied = true;
            const fs::path dir = stack.back().path;
            empty_directory(dir, stack, failure);
            continue;
        }
        note_failure(failure, stack.back().path, remove_entry({}, stack.back().path, stack.back().attributes));
        stack.pop_back();
    }
    return failure.error;
}

}  // namespace

bool remove_tree(const fs::path& target, path_failure& failure, busy_files busy)
{
    if (busy == busy_files::give_up)
        return !remove_tree_once(target, failure);
    std::error_code ec;
    const auto in_the_way = [&] { return std::vector<fs::path>{failure.where}; };  // where the last attempt stopped
    retry_while_busy(target, "removal", in_the_way, [&] { return remove_tree_once(target, failure); }, ec);
    return !ec;
}

