// The client library on Windows: CreateProcessW with a command line quoted
// by the rules the C runtime splits it by, no handle of the caller's
// inherited but those given, no console window, out of the caller's job
// where the job allows.
#include "client_platform.h"

#include <windows.h>

#include <memory>

namespace client {

namespace {

std::wstring wide(const std::string& utf8)
{
    if (utf8.empty())
        return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
    return text;
}

std::string utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                          nullptr);
    return bytes;
}

std::string system_message(const std::string& what, DWORD error)
{
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = what + ": " + (text ? utf8(text) : "error " + std::to_string(error));
    if (text)
        ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

// One argument as the C runtime's parser, and CommandLineToArgvW, read it
// back: quoted when it is empty or holds a blank or a quote; inside the
// quotes a run of backslashes is doubled where a quote (the escaped one,
// or the closing one) follows it, and kept as it is elsewhere.
template <class Char>
std::basic_string<Char> quoted(const std::basic_string<Char>& arg)
{
    const Char specials[] = {' ', '\t', '\n', '\v', '"', 0};
    if (!arg.empty() && arg.find_first_of(specials) == std::basic_string<Char>::npos)
        return arg;
    std::basic_string<Char> out(1, '"');
    std::size_t backslashes = 0;
    for (const Char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

// Each argument quoted once, as the program's C runtime splits the line.
std::wstring command_line(const std::vector<std::string>& argv)
{
    std::wstring line;
    for (const std::string& arg : argv)
        line += (line.empty() ? L"" : L" ") + quoted(wide(arg));
    return line;
}

struct handle_closer {
    void operator()(HANDLE handle) const
    {
        if (handle && handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    }
};
using unique_handle = std::unique_ptr<void, handle_closer>;

// The attribute list that names the only handles a new process inherits.
class handle_list {
public:
    explicit handle_list(std::vector<HANDLE> handles) : handles_(std::move(handles))
    {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        memory_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory_.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            error_ = ::GetLastError();
            return;
        }
        list_ = list;
        if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                         handles_.size() * sizeof(HANDLE), nullptr, nullptr))
            error_ = ::GetLastError();
    }
    handle_list(const handle_list&) = delete;
    handle_list& operator=(const handle_list&) = delete;
    ~handle_list()
    {
        if (list_)
            ::DeleteProcThreadAttributeList(list_);
    }
    // 0, or the error that kept the list from being made.
    DWORD error() const { return error_; }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;  // the list points into this
    std::vector<unsigned char> memory_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    DWORD error_ = 0;
};

// Marks handles inheritable while it lives: CreateProcessW hands on only
// inheritable handles, also from an explicit list. Outside that call they
// are not, so that a process another thread of the application starts
// with inheritance (and no list of its own) can't take them along; within
// it no system call can keep such a start from doing so.
class inheritable_while_starting {
public:
    explicit inheritable_while_starting(const std::vector<HANDLE>& handles) : handles_(handles)
    {
        for (HANDLE handle : handles_)
            ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    inheritable_while_starting(const inheritable_while_starting&) = delete;
    inheritable_while_starting& operator=(const inheritable_while_starting&) = delete;
    ~inheritable_while_starting()
    {
        for (HANDLE handle : handles_)
            ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    }

private:
    std::vector<HANDLE> handles_;
};

// Starts the program; the handles in inherit (created not inheritable), and
// no other, reach it. Where the caller's job forbids leaving it, the
// program stays in it.
bool create_process(const std::vector<std::string>& argv, const std::vector<HANDLE>& inherit, STARTUPINFOEXW& startup,
                    PROCESS_INFORMATION& started, std::string& message)
{
    std::wstring line = command_line(argv);
    const std::wstring program = wide(argv[0]);
    DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_BREAKAWAY_FROM_JOB;
    startup.StartupInfo.cb = sizeof(STARTUPINFOW);
    std::unique_ptr<handle_list> listed;
    if (!inherit.empty()) {
        // Without the list the program would inherit every inheritable
        // handle of the application.
        listed = std::make_unique<handle_list>(inherit);
        if (listed->error() != 0) {
            message = system_message("can't start " + argv[0], listed->error());
            return false;
        }
        startup.lpAttributeList = listed->get();
        startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    const inheritable_while_starting inheritable(inherit);
    BOOL created = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, !inherit.empty(), flags, nullptr,
                                    nullptr, &startup.StartupInfo, &started);
    if (!created && ::GetLastError() == ERROR_ACCESS_DENIED) {
        flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
        created = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, !inherit.empty(), flags, nullptr,
                                   nullptr, &startup.StartupInfo, &started);
    }
    if (!created)
        message = system_message("can't start " + argv[0], ::GetLastError());
    return created;
}

}  // namespace

const char* const default_updater_name = "updater.exe";

std::string join_path(const std::string& dir, const std::string& name)
{
    return dir.empty() || dir.back() == '\\' || dir.back() == '/' ? dir + name : dir + "\\" + name;
}

long own_process_id()
{
    return static_cast<long>(::GetCurrentProcessId());
}

// The updater passes this string on verbatim, after "EXE" --after-update,
// as the new version's command line, whose C runtime splits it: so each
// argument is quoted here for that, once. The string as a whole is then
// one argument of the updater's own command line, and quoted once more for
// the updater's C runtime (command_line), which gives it back as it is.
std::string relaunch_argument_string(const std::vector<std::string>& args)
{
    std::string joined;
    for (const std::string& arg : args)
        joined += (joined.empty() ? "" : " ") + quoted(arg);
    return joined;
}

// CreateProcessW takes at most 32,767 characters, the terminating NUL
// included; Wine cuts a longer command line short without a word, which
// would lose the updater's last options (--confirm-timeout comes after
// --args) and shorten the new version's arguments. The new version's
// command line holds no more than the updater's does (its path is the
// root, current and the main executable's name, all in the updater's
// line too, and the relaunch string is shorter before its second
// quoting), so it fits where the updater's does.
bool command_line_fits(const std::vector<std::string>& argv, std::string& message)
{
    const std::size_t limit = 32767;
    const std::size_t length = command_line(argv).size() + 1;
    if (length <= limit)
        return true;
    message = "the command line to start " + argv[0] + " would be " + std::to_string(length) +
              " characters long, beyond Windows' limit of " + std::to_string(limit) +
              ": shorten the arguments or the paths";
    return false;
}

bool start_detached(const std::vector<std::string>& argv, std::string& message)
{
    STARTUPINFOEXW startup{};
    PROCESS_INFORMATION started{};
    if (!create_process(argv, {}, startup, started, message))
        return false;
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return true;
}

bool run_reading_lines(const std::vector<std::string>& argv, const std::function<void(const std::string&)>& on_line,
                       int& exit_code, std::string& message)
{
    // Neither end is inheritable: the program gets its own end through the
    // handle list, and a process another thread starts meanwhile gets none
    // but within the start itself (see inheritable_while_starting); holding
    // the write end, it would keep the pipe open, and this call waiting,
    // until it ended.
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) {
        message = system_message("can't start " + argv[0], ::GetLastError());
        return false;
    }
    const unique_handle reader(read_end);
    unique_handle writer(write_end);
    unique_handle null_input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (null_input.get() == INVALID_HANDLE_VALUE) {
        message = system_message("can't start " + argv[0], ::GetLastError());
        return false;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null_input.get();
    startup.StartupInfo.hStdOutput = write_end;
    startup.StartupInfo.hStdError = write_end;
    PROCESS_INFORMATION started{};
    if (!create_process(argv, {write_end, null_input.get()}, startup, started, message))
        return false;
    ::CloseHandle(started.hThread);
    const unique_handle process(started.hProcess);
    writer.reset();  // the pipe ends when the program's copy of it closes
    null_input.reset();
    std::string pending;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            std::string line = pending.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            on_line(line);
        }
    }
    if (!pending.empty())
        on_line(pending);
    DWORD code = 1;
    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process.get(), &code)) {
        exit_code = -1;
        message = system_message("can't learn how " + argv[0] + " ended", ::GetLastError());
        return true;
    }
    exit_code = static_cast<int>(code);
    return true;
}

bool own_executable_dir(const char*, std::string& dir, std::string& message)
{
    std::wstring path(32768, L'\0');
    const DWORD size = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (size == 0 || size >= path.size()) {
        message = system_message("can't find the running executable", ::GetLastError());
        return false;
    }
    path.resize(size);
    dir = parent_of(utf8(path));
    return true;
}

std::string parent_of(const std::string& path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && (trimmed.back() == '\\' || trimmed.back() == '/'))
        trimmed.pop_back();
    const std::size_t slash = trimmed.find_last_of("\\/");
    return slash == std::string::npos ? "." : trimmed.substr(0, slash);
}

// FILE_FLAG_OPEN_REPARSE_POINT opens a link in its place as itself, which
// is then refused; OPEN_ALWAYS keeps a confirmation already made.
bool create_flag_file(const std::string& path, std::string& message)
{
    const unique_handle file(::CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                           nullptr, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        message = system_message("can't create " + path, ::GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool regular = ::GetFileInformationByHandle(file.get(), &info) &&
                         !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (!regular)
        message = "can't create " + path + ": something else is in the way";
    return regular;
}

}  // namespace client
