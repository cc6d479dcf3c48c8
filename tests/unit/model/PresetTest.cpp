#include "model/Preset.h"
#include "model/AppState.h"

#include <gtest/gtest.h>

using lc::Entry;
using lc::Preset;
using lc::SavedEntry;

TEST(Preset, BuiltInTableIsExactAndOrdered) {
    const auto& t = Preset::builtIn();
    // The separator is blank, U+00B7 (UTF-8 C2 B7), blank; compare bytes, not look-alikes.
    EXPECT_EQ(t[0].name.toUtf8(), QByteArray("16:9 Horizontal \xC2\xB7 YouTube"));
    EXPECT_EQ(t[1].name.toUtf8(), QByteArray("9:16 Vertical \xC2\xB7 Shorts/Reels/TikTok"));
    EXPECT_EQ(t[2].name, "1:1 Square");
    EXPECT_EQ(t[3].name.toUtf8(), QByteArray("4:5 Portrait \xC2\xB7 Instagram"));
    EXPECT_EQ(t[4].name, "4:3 Classic");
    EXPECT_EQ(t[5].name, "16:9 4K");
    const std::pair<qint64, qint64> sizes[] = {{1920, 1080}, {1080, 1920}, {1080, 1080},
                                               {1080, 1350}, {1440, 1080}, {3840, 2160}};
    for (size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(t[i].width, sizes[i].first) << i;
        EXPECT_EQ(t[i].height, sizes[i].second) << i;
    }
    EXPECT_EQ(Preset::defaultPreset(), t[0]);
}

TEST(Preset, DerivedTexts) {
    const QStringList fileLabels = {"16x9 Horizontal", "9x16 Vertical", "1x1 Square",
                                    "4x5 Portrait",    "4x3 Classic",   "16x9 4K"};
    for (size_t i = 0; i < Preset::builtIn().size(); ++i)
        EXPECT_EQ(Preset::builtIn()[i].fileLabel(), fileLabels[int(i)]) << i;

    const Preset& row1 = Preset::builtIn()[0];
    EXPECT_EQ(row1.id().toUtf8(), QByteArray("16:9 Horizontal \xC2\xB7 YouTube|1920x1080"));
    EXPECT_EQ(row1.label().toUtf8(), QByteArray("16:9 Horizontal \xC2\xB7 YouTube (1920\xC3\x97"
                                                "1080)"));

    const Preset custom{"Custom", 1280, 720};
    EXPECT_EQ(custom.label().toUtf8(), QByteArray("Custom (1280\xC3\x97"
                                                  "720)"));
    EXPECT_EQ(custom.fileLabel(), "Custom 1280x720");

    // Without a separator the whole name is kept, every colon and slash replaced.
    EXPECT_EQ((Preset{"A:B/C:D/E", 10, 10}.fileLabel()), "AxB-CxD-E");
    // Only the part before the first separator counts.
    EXPECT_EQ((Preset{"X/Y \u00B7 a \u00B7 b", 1, 1}.fileLabel()), "X-Y");
    // "custom" is not "Custom".
    EXPECT_EQ((Preset{"custom", 1280, 720}.fileLabel()), "custom");
    // Large sizes are written without grouping.
    EXPECT_EQ((Preset{"Custom", 12000, 9000}.id()), "Custom|12000x9000");
}

TEST(Preset, CanonicalRenamesOnlyKnownNonCustomSizes) {
    EXPECT_EQ(Preset::canonical({"4:3", 1440, 1080}), (Preset{"4:3 Classic", 1440, 1080}));
    EXPECT_EQ(Preset::canonical({"Old name", 1920, 1080}).name, Preset::builtIn()[0].name);
    EXPECT_EQ(Preset::canonical({"Square-ish", 1000, 1000}), (Preset{"Square-ish", 1000, 1000}));
    EXPECT_EQ(Preset::canonical({"Custom", 1920, 1080}), (Preset{"Custom", 1920, 1080}));
    // Width and height must both match; a transposed size is another row.
    EXPECT_EQ(Preset::canonical({"x", 1350, 1080}).name, "x");
    EXPECT_EQ(Preset::canonical({"x", 1080, 1920}).name, Preset::builtIn()[1].name);
}

TEST(Preset, EqualityAndHashCoverAllFields) {
    const Preset a{"1:1 Square", 1080, 1080};
    EXPECT_NE(a, (Preset{"1:1 square", 1080, 1080}));
    EXPECT_NE(a, (Preset{"1:1 Square", 1080, 1081}));
    EXPECT_EQ(qHash(a), qHash(Preset{"1:1 Square", 1080, 1080}));
    EXPECT_NE(qHash(a), qHash(Preset{"1:1 Square", 1081, 1080}));
}

TEST(Entry, ConversionsKeepOnlyTheSavedPart) {
    const SavedEntry saved{"org.example.ed", "Editor", "Notes / draft", {"4:3", 1440, 1080}, false};
    const Entry a = Entry::fromSaved(saved);
    const Entry b = Entry::fromSaved(saved);
    EXPECT_FALSE(a.id.isNull());
    EXPECT_NE(a.id, b.id);
    EXPECT_EQ(a.preset.name, "4:3 Classic");
    EXPECT_FALSE(a.appAudio);
    EXPECT_FALSE(a.windowID || a.warning || a.info || a.note || a.file || a.failure || a.isRecording);

    Entry live = a;
    live.windowID = 42;
    live.note = "n";
    live.isRecording = true;
    live.preset = {"Custom", 640, 480};
    EXPECT_EQ(live.toSaved(),
              (SavedEntry{"org.example.ed", "Editor", "Notes / draft", {"Custom", 640, 480}, false}));
}
