// Window texts as X clients store them, and application names from .desktop files.
#include "platform/x11/DesktopEntries.h"
#include "platform/x11/Text.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using namespace lc::x11;

TEST(WindowText, BrokenHugeAndForeignTitlesBecomeCleanUtf8) {
    EXPECT_EQ(cleanText("Caf\xc3\xa9", TextEncoding::utf8), "Café");
    EXPECT_EQ(cleanText("Caf\xe9", TextEncoding::utf8), "Caf\xef\xbf\xbd") << "a stray Latin-1 byte";
    EXPECT_EQ(cleanText("\xc0\xaf", TextEncoding::utf8), "\xef\xbf\xbd\xef\xbf\xbd") << "overlong";
    EXPECT_EQ(cleanText("\xed\xa0\x80", TextEncoding::utf8).substr(0, 3), "\xef\xbf\xbd") << "a surrogate";
    EXPECT_EQ(cleanText("\xe2\x82", TextEncoding::utf8), "\xef\xbf\xbd\xef\xbf\xbd") << "cut short";
    EXPECT_EQ(cleanText("a\tb\nc\x7f", TextEncoding::utf8), "a b c ") << "one line";
    EXPECT_EQ(cleanText(std::string_view("ab\0cd", 5), TextEncoding::utf8), "ab");
    EXPECT_EQ(cleanText("Caf\xe9 cr\xe8me", TextEncoding::latin1), "Café crème");
    EXPECT_EQ(cleanText("\x1b-A\xe9t\xe9", TextEncoding::compoundText), "été") << "escape sequences dropped";

    std::string huge;
    for (int i = 0; i < 5000; ++i)
        huge += "\xe2\x82\xac"; // €
    const std::string cut = cleanText(huge, TextEncoding::utf8);
    EXPECT_LE(cut.size(), kMaxTitleBytes);
    EXPECT_EQ(cut.size() % 3, 0u) << "cut at a character boundary";
    EXPECT_EQ(cleanText("", TextEncoding::latin1), "");
}

TEST(WindowText, WmClassHasInstanceAndClass) {
    const auto c = parseWmClass(std::string_view("navigator\0Firefox\0", 18));
    EXPECT_EQ(c.instance, "navigator");
    EXPECT_EQ(c.className, "Firefox");
    EXPECT_EQ(parseWmClass("solo").className, "");
    EXPECT_EQ(parseWmClass("").instance, "");
}

TEST(DesktopEntries, NamesByApplicationIdThenWindowClass) {
    QTemporaryDir first, second;
    auto write = [](const QString& dir, const QString& name, const QByteArray& text) {
        QDir(dir).mkpath(QFileInfo(dir + "/applications/" + name).path());
        QFile f(dir + "/applications/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    };
    write(first.path(), "org.example.Editor.desktop",
          "[Desktop Entry]\nName=Editor Pro\nName[de]=Editor Profi\n");
    write(first.path(), "vendor/tool.desktop", "[Desktop Entry]\nName = Vendor Tool\n");
    write(first.path(), "term.desktop",
          "[Desktop Entry]\nName=Terminal\nStartupWMClass=XTerm\n[Desktop Action new]\nName=New Window\n");
    write(second.path(), "term.desktop", "[Desktop Entry]\nName=Other Terminal\n");
    write(second.path(), "broken.desktop", "no group here\nName=Nope\n");

    DesktopEntries entries({first.path().toStdString(), second.path().toStdString()});
    EXPECT_EQ(entries.nameFor("org.example.Editor", ""), "Editor Pro");
    EXPECT_EQ(entries.nameFor("org.example.editor.desktop", ""), "Editor Pro")
        << "case and suffix do not matter";
    EXPECT_EQ(entries.nameFor("vendor-tool", ""), "Vendor Tool") << "file ids of subfolders";
    EXPECT_EQ(entries.nameFor("", "xterm"), "Terminal") << "StartupWMClass, the first folder winning";
    EXPECT_EQ(entries.nameFor("", "term"), "Terminal");
    EXPECT_EQ(entries.nameFor("", "broken"), std::nullopt);
    EXPECT_EQ(entries.nameFor("unknown", "Unknown"), std::nullopt);
}

} // namespace
