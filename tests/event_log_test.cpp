#include "editor/event_log.h"

#include <gtest/gtest.h>

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
