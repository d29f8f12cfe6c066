#include "editor/event_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

TEST(EventLog, AppendsTextAndRecordsLineFeeds)
{
    EventLog log;
    ui_event_log_add(&log, "%s", "a%d\nb");
    ui_event_log_add_line(&log, "c%d", 1);
    ui_event_log_add_line(&log, "%s", "d\n");
    EXPECT_EQ(log.text, "a%d\nbc1\nd\n");
    EXPECT_EQ(log.lineOffsets, (std::vector<int>{3, 7, 9}));
    EXPECT_TRUE(log.scrollToBottom);
    ui_event_log_add(nullptr, "ignored"); // no log yet: nothing happens
}

namespace {

std::vector<std::string> visible(EventLog& log, const char* filter)
{
    std::snprintf(log.filter.InputBuf, sizeof(log.filter.InputBuf), "%s", filter);
    log.filter.Build();
    std::vector<std::string> lines;
    for (std::string_view line : ui_event_log_visible_lines(log))
        lines.emplace_back(line);
    return lines;
}

} // namespace

TEST(EventLog, LineEndsOnlyWhereNeeded)
{
    EventLog log;
    ui_event_log_add(&log, "abc");
    EXPECT_TRUE(log.lineOffsets.empty());
    ui_event_log_add_line(&log, "def");
    EXPECT_EQ(log.text, "abcdef\n");
    EXPECT_EQ(log.lineOffsets, std::vector<int>{6});
    ui_event_log_add_line(&log, "%s", "");
    EXPECT_EQ(log.text, "abcdef\n"); // already ends with a line feed
    ui_event_log_add_line(&log, "%s", "two\nlines");
    EXPECT_EQ(log.text, "abcdef\ntwo\nlines\n");
    EXPECT_EQ(log.lineOffsets, (std::vector<int>{6, 10, 16}));

    // Compiler output and shader sources are long; they go in whole.
    const std::string big(100000, 'x');
    ui_event_log_add(&log, "%s", big.c_str());
    EXPECT_EQ(log.text.size(), 17u + big.size());
}

TEST(EventLog, FilterPicksTheLinesTheWindowShows)
{
    EventLog log;
    ui_event_log_add(&log, "%s", "Shader reloaded successfully\nerror: x undeclared\nwarning: unused\nerror: link\n");
    const struct {
        const char* filter;
        std::vector<std::string> lines;
    } cases[] = {
        // No terms: the whole text as one piece.
        {"", {"Shader reloaded successfully\nerror: x undeclared\nwarning: unused\nerror: link\n"}},
        {"error", {"error: x undeclared", "error: link"}},
        {"-error", {"Shader reloaded successfully", "warning: unused"}},
        {"warning,reloaded", {"Shader reloaded successfully", "warning: unused"}},
        {"nothing", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(visible(log, c.filter), c.lines) << c.filter;

    // The last line counts without a line feed of its own.
    ui_event_log_add(&log, "error: tail");
    EXPECT_EQ(visible(log, "tail"), std::vector<std::string>{"error: tail"});
    EXPECT_EQ(visible(log, "-x"), (std::vector<std::string>{"Shader reloaded successfully", "warning: unused",
                                                             "error: link", "error: tail"}));
    // Offsets a writer left wrong end the walk rather than reading past the text.
    log.lineOffsets.push_back(100000);
    EXPECT_EQ(visible(log, "Shader").size(), 1u);
}

TEST(EventLog, ClearEmptiesAndReleases)
{
    EventLog log;
    ui_event_log_add(&log, "%s", std::string(5000, '\n').c_str());
    ui_event_log_clear(&log);
    EXPECT_TRUE(log.text.empty());
    EXPECT_TRUE(log.lineOffsets.empty());
    EXPECT_EQ(log.lineOffsets.capacity(), 0u);
    EXPECT_LT(log.text.capacity(), 100u);
    ui_event_log_clear(nullptr);
    ui_event_log_add_line(&log, "after");
    EXPECT_EQ(log.text, "after\n");
    EXPECT_EQ(log.lineOffsets, std::vector<int>{5});
}
