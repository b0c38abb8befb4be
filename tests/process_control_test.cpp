// The command line that is logged and the splitting of argument strings.
#include "process_control_internals.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> words;
    EXPECT_TRUE(split_shell_words(text, words)) << text;
    return words;
}

using words = std::vector<std::string>;

TEST(command_line, quotes_the_path_and_appends_arguments_verbatim)
{
    EXPECT_EQ(build_command_line("/opt/my app/app", ""), "\"/opt/my app/app\"");
    EXPECT_EQ(build_command_line("/a/app", "--after-update x \"y z\""), "\"/a/app\" --after-update x \"y z\"");
}

TEST(shell_words, blanks_separate_and_quotes_group)
{
    EXPECT_EQ(split(""), words{});
    EXPECT_EQ(split("  a\tb \n c  "), (words{"a", "b", "c"}));
    EXPECT_EQ(split("--after-update 'two words' \"and more\""),
              (words{"--after-update", "two words", "and more"}));
    EXPECT_EQ(split("pre'fix'\"ed\" '' \"\""), (words{"prefixed", "", ""}));
}

TEST(shell_words, escapes_follow_shell_rules_without_expansion)
{
    EXPECT_EQ(split("a\\ b \\'c"), (words{"a b", "'c"}));
    EXPECT_EQ(split("\"q\\\"x\\\\ \\n $HOME\""), (words{"q\"x\\ \\n $HOME"}));
    EXPECT_EQ(split("'no \\ escape' ~ * `cmd`"), (words{"no \\ escape", "~", "*", "`cmd`"}));
    EXPECT_EQ(split("a \\\n b"), (words{"a", "b"}));
}

TEST(shell_words, unbalanced_quoting_is_rejected)
{
    std::vector<std::string> out;
    for (const std::string text : {"'open", "\"open", "trailing\\", "a \"b 'c"})
        EXPECT_FALSE(split_shell_words(text, out)) << text;
}

}  // namespace
