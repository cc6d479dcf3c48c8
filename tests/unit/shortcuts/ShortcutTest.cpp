#include "platform/Shortcut.h"

#include <gtest/gtest.h>

namespace lc {
namespace {

TEST(Shortcut, ReadsWhatUsersWriteAndWritesOneCanonicalForm) {
    const auto r = Shortcut::parse("Ctrl+Alt+R");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->modifiers, Shortcut::ctrl | Shortcut::alt);
    EXPECT_EQ(r->key, "R");
    EXPECT_EQ(r->text(), "Ctrl+Alt+R");

    EXPECT_EQ(Shortcut::parse("alt+control+p")->text(), "Ctrl+Alt+P");
    EXPECT_EQ(Shortcut::parse("Super+Shift+f12")->text(), "Shift+Super+F12");
    EXPECT_EQ(Shortcut::parse("Meta+space")->text(), "Super+Space");
    EXPECT_EQ(Shortcut::parse("Pause")->text(), "Pause"); // no text is typed with it
    EXPECT_EQ(Shortcut::parse("F9")->text(), "F9");
    EXPECT_EQ(Shortcut::parse("Ctrl+7")->text(), "Ctrl+7");
}

TEST(Shortcut, RefusesWhatCannotBeBoundOrWouldTakeOverTyping) {
    for (const char* bad :
         {"", "R", "Shift+R", "Space", "Ctrl+", "Ctrl+Alt", "Ctrl+Ctrl+R", "Hyper+R", "Ctrl+RR", "Ctrl+F0",
          "Ctrl+F25", "Ctrl+F1x", "Ctrl+é", "Ctrl+Alt+R+", "+R", "Ctrl+Alt+Return"})
        EXPECT_FALSE(Shortcut::parse(bad)) << bad;
}

} // namespace
} // namespace lc
