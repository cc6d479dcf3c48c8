#include "model/WindowCatalogue.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace lc;
namespace Cat = lc::Catalogue;

namespace {

ShareableWindow win(std::uint32_t id, const std::string& app, const std::optional<std::string>& title,
                    double w = 800, double h = 600, const std::string& bundle = {}, std::int32_t pid = 100) {
    ShareableWindow s;
    s.windowID = id;
    s.frame = {10, 20, w, h};
    s.title = title;
    s.isOnScreen = true;
    s.owningApplication = OwningApplication{pid, bundle.empty() ? "org." + app : bundle, app};
    return s;
}

LiveWindow live(std::uint32_t id, const QString& bundle, const QString& title) {
    LiveWindow w;
    w.id = id;
    w.bundleID = bundle;
    w.appName = bundle;
    w.title = title;
    return w;
}

Entry entry(const QString& bundle, const QString& title,
            std::optional<std::uint32_t> windowID = std::nullopt) {
    Entry e;
    e.bundleID = bundle;
    e.appName = bundle;
    e.title = title;
    e.windowID = windowID;
    return e;
}

std::vector<std::uint32_t> ids(const std::vector<LiveWindow>& list) {
    std::vector<std::uint32_t> out;
    for (const LiveWindow& w : list)
        out.push_back(w.id);
    return out;
}

} // namespace

TEST(Catalogue, KeepsOnlyRecordableWindows) {
    std::vector<ShareableWindow> all{
        win(1, "A", "edge size", 120, 80),
        win(2, "A", "too narrow", 119.5, 600),
        win(3, "A", "too low", 800, 79),
        win(4, "A", "nan", std::numeric_limits<double>::quiet_NaN(), 600),
        win(5, "A", std::string()),
        win(6, "A", std::nullopt),
        win(7, "Loomcast", "own by bundle", 800, 600, "Loomcast"),
        win(8, "Other", "own by pid", 800, 600, "org.other", 4242),
        win(9, "A", "layer"),
        win(10, "A", "hidden"),
        win(11, "A", "no owner"),
    };
    all[8].windowLayer = 3;
    all[9].isOnScreen = false;
    all[10].owningApplication.reset();
    const auto kept = Cat::liveWindows(all, Cat::Self{QString("Loomcast"), 4242});
    ASSERT_EQ(ids(kept), std::vector<std::uint32_t>{1});
    EXPECT_EQ(kept[0].appName, "A");
    EXPECT_EQ(kept[0].bundleID, "org.A");
    EXPECT_EQ(kept[0].pid, 100);
    EXPECT_EQ(kept[0].title, "edge size");
}

TEST(Catalogue, SortsByLowerCasedNameThenTitleThenId) {
    const std::vector<ShareableWindow> all{
        win(30, "notes", "beta"), win(10, "Notes", "Beta"),    win(20, "Notes", "alpha"), win(5, "Zed", "a"),
        win(40, "apps", "z"),     win(7, "\u00C9diteur", "x"), // É sorts after ASCII
    };
    EXPECT_EQ(ids(Cat::liveWindows(all, {})), (std::vector<std::uint32_t>{40, 20, 10, 30, 5, 7}));
}

TEST(Catalogue, ScalarOrderAfterNormalisation) {
    // Decomposed e + combining acute equals the precomposed letter.
    EXPECT_EQ(Cat::compareScalars(QString::fromUtf8("e\xCC\x81"), QString::fromUtf8("\xC3\xA9")), 0);
    // A supplementary-plane character sorts after U+FFFD by scalar value (not by UTF-16 units).
    EXPECT_GT(Cat::compareScalars(QString::fromUcs4(U"\U0001F600"), QString::fromUcs4(U"\uFFFD")), 0);
    EXPECT_LT(Cat::compareScalars("ab", "abc"), 0);
}

TEST(Catalogue, SignatureIgnoresPositionsAndPids) {
    auto a = Cat::liveWindows({win(4711, "Safari", "Start Page")}, {});
    auto moved = win(4711, "Safari", "Start Page", 800, 600, {}, 999);
    moved.frame.x = 500;
    auto b = Cat::liveWindows({moved}, {});
    EXPECT_EQ(Cat::signature(a), QStringList{"4711|Safari|Start Page"});
    EXPECT_EQ(Cat::signature(a), Cat::signature(b));
    EXPECT_NE(Cat::signature(a), Cat::signature(Cat::liveWindows({win(4711, "Safari", "Other")}, {})));
}

TEST(Catalogue, BestMatchPasses) {
    const std::vector<LiveWindow> l{live(1, "mail", "Inbox \u2013 Mail"), live(2, "docs", "Project notes"),
                                    live(3, "docs", "ab"), live(4, "docs", "abc"), live(5, "other", "Inbox")};
    // Containment, never across applications even on an exact title.
    EXPECT_EQ(Cat::bestMatch(entry("mail", "Inbox"), l, {})->id, 1u);
    // A common prefix of five characters.
    EXPECT_EQ(Cat::bestMatch(entry("docs", "Project plan final"), l, {})->id, 2u);
    EXPECT_FALSE(Cat::bestMatch(entry("docs", "Proj"), {live(2, "docs", "Prow")}, {}));
    // Short titles match only exactly or by containment.
    EXPECT_EQ(Cat::bestMatch(entry("docs", "AB"), l, {})->id, 3u);
    EXPECT_FALSE(Cat::bestMatch(entry("docs", "ax"), {live(3, "docs", "ay window")}, {}));
    // Exact beats an earlier containment.
    EXPECT_EQ(Cat::bestMatch(entry("docs", "abc"), {live(3, "docs", "abcd"), live(4, "docs", "ABC")}, {})->id,
              4u);
    // Taken windows are skipped; a lone unrelated window is not taken.
    EXPECT_FALSE(Cat::bestMatch(entry("mail", "Inbox"), l, {1}));
    EXPECT_FALSE(Cat::bestMatch(entry("mail", "Calendar"), {live(1, "mail", "Inbox")}, {}));
}

TEST(Catalogue, RelinkGivesEachWindowOnce) {
    std::vector<Entry> entries{entry("docs", "Report"), entry("docs", "Report"), entry("docs", "Report")};
    const std::vector<LiveWindow> l{live(7, "docs", "Report"), live(8, "docs", "Report draft")};
    EXPECT_TRUE(Cat::relink(entries, l));
    EXPECT_EQ(entries[0].windowID, 7u);
    EXPECT_EQ(entries[1].windowID, 8u);
    EXPECT_EQ(entries[1].title, "Report draft");
    EXPECT_FALSE(entries[2].windowID);
    EXPECT_FALSE(Cat::relink(entries, l)) << "nothing changes the second time";
}

TEST(Catalogue, RelinkKeepsLiveAndRecordingLinks) {
    std::vector<Entry> entries{entry("docs", "Old title", 7), entry("docs", "Gone", 99),
                               entry("docs", "Gone", 98)};
    entries[2].isRecording = true;
    const std::vector<LiveWindow> l{live(7, "docs", "New title"), live(8, "docs", "Something")};
    Cat::relink(entries, l);
    EXPECT_EQ(entries[0].windowID, 7u);
    EXPECT_EQ(entries[0].title, "Old title") << "a still-live link keeps its title";
    EXPECT_FALSE(entries[1].windowID) << "vanished and no match: unlinked";
    EXPECT_EQ(entries[2].windowID, 98u) << "a recording keeps its stale window";
}

TEST(Catalogue, PickerOffersUnchosenWindowsThroughTheFilter) {
    const std::vector<LiveWindow> l{live(1, "a", "Alpha one"), live(2, "a", "Beta"),
                                    live(3, "a", "alpha two")};
    const std::vector<Entry> entries{entry("a", "Beta", 2)};
    EXPECT_EQ(ids(Cat::pickerWindows(l, entries, std::nullopt)), (std::vector<std::uint32_t>{1, 3}));
    EXPECT_EQ(ids(Cat::pickerWindows(l, entries, QStringList{"Alpha"})), (std::vector<std::uint32_t>{1}));
    EXPECT_TRUE(Cat::pickerWindows(l, entries, QStringList{""}).empty()) << "empty fragment matches nothing";
    EXPECT_TRUE(Cat::pickerWindows(l, {}, QStringList{"Beta"}).size() == 1);
}
