#include "model/AppState.h"

#include <gtest/gtest.h>

using lc::Entry;
using lc::Preset;
using lc::SavedEntry;

TEST(Preset, BuiltInTableAndDerivedTexts) {
    // Names compared as UTF-8 bytes: the separator is blank, U+00B7, blank.
    const char* names[] = {"16:9 Horizontal \xC2\xB7 YouTube",
                           "9:16 Vertical \xC2\xB7 Shorts/Reels/TikTok",
                           "1:1 Square",
                           "4:5 Portrait \xC2\xB7 Instagram",
                           "4:3 Classic",
                           "16:9 4K"};
    const qint64 sizes[][2] = {{1920, 1080}, {1080, 1920}, {1080, 1080},
                               {1080, 1350}, {1440, 1080}, {3840, 2160}};
    const char* fileLabels[] = {"16x9 Horizontal", "9x16 Vertical", "1x1 Square",
                                "4x5 Portrait",    "4x3 Classic",   "16x9 4K"};
    for (size_t i = 0; i < 6; ++i) {
        const Preset& p = Preset::builtIn()[i];
        EXPECT_EQ(p.name.toUtf8(), QByteArray(names[i])) << i;
        EXPECT_EQ(p.width, sizes[i][0]) << i;
        EXPECT_EQ(p.height, sizes[i][1]) << i;
        EXPECT_EQ(p.fileLabel(), fileLabels[i]) << i;
    }
    const Preset& row1 = Preset::builtIn()[0];
    EXPECT_EQ(row1.id().toUtf8(), QByteArray("16:9 Horizontal \xC2\xB7 YouTube|1920x1080"));
    EXPECT_EQ(row1.label().toUtf8(), QByteArray("16:9 Horizontal \xC2\xB7 YouTube (1920\xC3\x97"
                                                "1080)"));
    const Preset custom{"Custom", 1280, 720};
    EXPECT_EQ(custom.label(), "Custom (1280\u00D7720)");
    EXPECT_EQ(custom.fileLabel(), "Custom 1280x720");
    EXPECT_EQ((Preset{"custom", 1280, 720}.fileLabel()), "custom");
    // No separator: the whole name, every colon and slash replaced; else the part before the first.
    EXPECT_EQ((Preset{"A:B/C:D/E", 10, 10}.fileLabel()), "AxB-CxD-E");
    EXPECT_EQ((Preset{"X/Y \u00B7 a \u00B7 b", 1, 1}.fileLabel()), "X-Y");
}

TEST(Preset, CanonicalRenamesOnlyKnownNonCustomSizes) {
    EXPECT_EQ(Preset::canonical({"4:3", 1440, 1080}), (Preset{"4:3 Classic", 1440, 1080}));
    EXPECT_EQ(Preset::canonical({"Square-ish", 1000, 1000}), (Preset{"Square-ish", 1000, 1000}));
    EXPECT_EQ(Preset::canonical({"Custom", 1920, 1080}), (Preset{"Custom", 1920, 1080}));
    EXPECT_EQ(Preset::canonical({"x", 1350, 1080}).name, "x"); // transposed 4:5 is no row
    EXPECT_EQ(Preset::canonical({"x", 1080, 1920}).name, Preset::builtIn()[1].name);
}

TEST(Entry, ConversionsKeepOnlyTheSavedPart) {
    const SavedEntry saved{"org.example.ed", "Editor", "Notes / draft", {"4:3", 1440, 1080}, false};
    const Entry a = Entry::fromSaved(saved);
    EXPECT_FALSE(a.id.isNull());
    EXPECT_NE(a.id, Entry::fromSaved(saved).id);
    EXPECT_EQ(a.preset.name, "4:3 Classic");
    EXPECT_FALSE(a.appAudio);
    EXPECT_FALSE(a.windowID || a.warning || a.info || a.note || a.file || a.failure || a.isRecording);

    Entry live = a;
    live.windowID = 42;
    live.isRecording = true;
    live.preset = {"Custom", 640, 480};
    EXPECT_EQ(live.toSaved(),
              (SavedEntry{"org.example.ed", "Editor", "Notes / draft", {"Custom", 640, 480}, false}));
}
