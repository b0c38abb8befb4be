// Application process control, the parts every platform shares: the refusal
// to wait for the updater itself, the command line that is logged and handed
// on, and the splitting of an argument string
// into words where the platform starts programs from an argument vector.
#include "updater.h"

void wait_for_process(std::int32_t pid)
{
    // Waiting for itself would end in the updater terminating itself.
    if (pid == current_process_id()) {
        spdlog::warn("Process {} is this updater itself, not waiting for it", pid);
        return;
    }
    wait_for_other_process(pid);
}

std::string build_command_line(const std::filesystem::path& exe_path,
                               const std::string& argument_string)
{
    std::string command_line = "\"" + narrow_from_path(exe_path) + "\"";
    if (!argument_string.empty())
        command_line += " " + argument_string;
    return command_line;
}

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Inside double quotes a backslash escapes only these; elsewhere it stays.
bool escapable_in_double_quotes(char c)
{
    return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n';
}

// Each reader starts at the opening character at text[i], appends what the
// quoting yields to word, and leaves i after the closing character; false
// when the text ends before the quoting does.
bool read_single_quoted(const std::string& text, std::size_t& i, std::string& word)
{
    const std::size_t close = text.find('\'', i + 1);
    if (close == std::string::npos)
        return false;
    word.append(text, i + 1, close - i - 1);
    i = close + 1;
    return true;
}

bool read_double_quoted(const std::string& text, std::size_t& i, std::string& word)
{
    for (++i; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            ++i;
            return true;
        }
        if (c == '\\' && i + 1 < text.size() && escapable_in_double_quotes(text[i + 1])) {
            ++i;
            if (text[i] != '\n')  // backslash and line end join the lines
                word += text[i];
        } else {
            word += c;
        }
    }
    return false;
}

bool read_escaped(const std::string& text, std::size_t& i, std::string& word)
{
    if (i + 1 >= text.size())
        return false;
    word += text[i + 1];
    i += 2;
    return true;
}

}  // namespace

bool split_shell_words(const std::string& text, std::vector<std::string>& words)
{
    words.clear();
    std::string word;
    bool in_word = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        bool complete = true;
        if (is_blank(c)) {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
            ++i;
            continue;
        }
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
            i += 2;  // a backslash before a line end joins the lines
            continue;
        }
        if (c == '\'')
            complete = read_single_quoted(text, i, word);
        else if (c == '"')
            complete = read_double_quoted(text, i, word);
        else if (c == '\\')
            complete = read_escaped(text, i, word);
        else
            word += text[i++];
        if (!complete)
            return false;
        in_word = true;
    }
    if (in_word)
        words.push_back(word);
    return true;
}
