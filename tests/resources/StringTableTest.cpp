#include <gtest/gtest.h>

#include "resources/DialogTemplates.h"
#include "resources/StringTable.h"

TEST(StringTable, EveryIdFrom1600To1628IsPresent) {
    for (int id = 1600; id <= 1628; ++id) EXPECT_FALSE(LoadResourceString(id).empty()) << id;
    EXPECT_TRUE(LoadResourceString(1599).empty());
    EXPECT_TRUE(LoadResourceString(1629).empty());
    EXPECT_EQ(LoadResourceString(1625), "The file '%1' already exists.\nDo you want to replace it?");
}

TEST(StringTable, FormattingIsOnePass) {
    struct Case {
        int id;
        std::initializer_list<std::string_view> args;
        const char* expected;
    };
    const Case cases[] = {
        {1600, {"clip.flv", "example.test"}, "clip.flv from example.test"},
        // An argument holding a placeholder is not substituted again.
        {1600, {"%2.flv", "host"}, "%2.flv from host"},
        {1613, {"42", "a.mp3"}, "42% of a.mp3 Completed"},
        {1618, {"2", "5"}, "2 min 5 sec"},
        {1611, {"404"}, "Failed to receive a valid HTTP response from the server, Response Code:404"},
        // A missing argument leaves its placeholder in place.
        {1600, {"only"}, "only from %2"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatResourceString(c.id, c.args), c.expected);
    EXPECT_EQ(FormatMessageText("100%% done %1", {"now"}), "100% done now");
    EXPECT_EQ(FormatMessageText("trailing %", {}), "trailing %");
}

TEST(DialogTemplates, TemplatesHoldTheirControls) {
    const struct {
        int templateId;
        std::initializer_list<int> ids;
    } expected[] = {
        {102, {1137, 1138, 1139, 1140, 1141, 1142, 1143}},
        {103, {1200, 1202, 1203, 1204, 1205}},
        {1500, {1501, 1502, 1503, 1504, 1505, 1506, 2}},
    };
    for (const auto& e : expected) {
        const DialogTemplate* t = FindDialogTemplate(e.templateId);
        ASSERT_NE(t, nullptr) << e.templateId;
        for (int id : e.ids) {
            const DialogItem* item = t->Find(id);
            ASSERT_NE(item, nullptr) << e.templateId << "/" << id;
            // Every control lies inside its dialog.
            EXPECT_LE(item->x + item->cx, t->cx) << id;
            EXPECT_LE(item->y + item->cy, t->cy) << id;
        }
    }
    EXPECT_EQ(FindDialogTemplate(999), nullptr);
    const DialogTemplate* progress = FindDialogTemplate(103);
    EXPECT_STREQ(progress->Find(1205)->text, "Downloading:");
    EXPECT_EQ(progress->Find(1202)->x, 7);
    EXPECT_EQ(progress->Find(1202)->cx, 374);
}
