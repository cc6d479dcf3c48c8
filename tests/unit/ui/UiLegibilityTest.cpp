// Legibility and keyboard use: contrast computed from the palettes and measured on drawn
// widgets, disabled looks, focus rings, the Tab order, arrow keys, labels and accessible names.
#include "UiFixture.h"

#include "ui/PresetPicker.h"
#include "ui/Rows.h"
#include "ui/SettingsView.h"

#include <QAccessible>
#include <QDialog>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QToolButton>
#include <map>

using namespace lc;
using namespace lc::ui;
using lc::test::UiFixture;

namespace {

ShareableWindow win(std::uint32_t id, const std::string& app, const std::string& title) {
    return fake::window(id, app, title, std::int32_t(1000 + id));
}

const char* nameOf(Appearance a) {
    return a == Appearance::dark ? "dark" : "light";
}

// The most common colour inside `area` stands for the background; the colour there that
// differs most from it is the drawn text at full coverage.
double drawnContrast(QWidget& w, QRect area) {
    const QImage image = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y)];
    QRgb background = 0;
    int most = 0;
    for (const auto& [rgb, n] : counts)
        if (n > most) most = n, background = rgb;
    double best = 1;
    for (const auto& [rgb, n] : counts)
        best = std::max(best, double(contrastRatio(QColor(rgb), QColor(background))));
    return best;
}

QString accessibleName(QWidget* w) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
    return face ? face->text(QAccessible::Name) : QString();
}

QString describe(QWidget* w) {
    return QStringLiteral("%1 \"%2\"")
        .arg(QString::fromLatin1(w->metaObject()->className()), accessibleName(w));
}

// The shown controls of `root` that Tab reaches, in Tab order.
std::vector<QWidget*> tabChain(QWidget* root) {
    std::vector<QWidget*> chain;
    QWidget* w = root;
    do {
        w = w->nextInFocusChain();
        if (w != root && root->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(root) &&
            w->isEnabled())
            chain.push_back(w);
    } while (w != root && chain.size() < 500);
    return chain;
}

} // namespace

TEST(UiLegibility, EveryTextPairReachesItsContrastInBothAppearances) {
    for (Appearance a : {Appearance::light, Appearance::dark}) {
        Theme::apply(a);
        const auto pairs = Theme::textPairs();
        ASSERT_GE(pairs.size(), 20u);
        for (const TextPair& pair : pairs) {
            const double needed = pair.large ? 3.0 : 4.5;
            EXPECT_GE(contrastRatio(pair.text, pair.background), needed)
                << nameOf(a) << ": " << pair.what.toStdString();
        }
        // The application palette the standard widgets draw with.
        const QPalette p = QApplication::palette();
        for (auto [fg, bg] : {std::pair{QPalette::WindowText, QPalette::Window},
                              {QPalette::Text, QPalette::Base},
                              {QPalette::ButtonText, QPalette::Button},
                              {QPalette::HighlightedText, QPalette::Highlight},
                              {QPalette::PlaceholderText, QPalette::Base},
                              {QPalette::ToolTipText, QPalette::ToolTipBase}})
            EXPECT_GE(contrastRatio(p.color(QPalette::Active, fg), p.color(QPalette::Active, bg)), 4.5)
                << nameOf(a) << " palette role " << int(fg);
    }
    Theme::apply(Appearance::light);
}

TEST(UiLegibility, ContrastFormula) {
    EXPECT_NEAR(contrastRatio(Qt::black, Qt::white), 21.0, 0.01);
    EXPECT_NEAR(contrastRatio(Qt::white, Qt::white), 1.0, 1e-9);
    EXPECT_NEAR(contrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);
    // A translucent colour is judged as it looks over its background.
    EXPECT_NEAR(contrastRatio(QColor(0, 0, 0, 0), Qt::white), 1.0, 1e-9);
    EXPECT_LT(contrastRatio(QColor(0, 0, 0, 60), Qt::white), contrastRatio(Qt::black, Qt::white) / 3);
}

TEST(UiLegibility, DrawnTextReachesItsContrast) {
    for (Appearance a : {Appearance::light, Appearance::dark}) {
        Theme::apply(a);
        StatusPill pill;
        pill.resize(pill.sizeHint());
        const QRect inside = pill.rect().adjusted(pill.height() / 2, 2, -pill.height() / 2, -2);
        EXPECT_GE(drawnContrast(pill, inside), 4.5) << nameOf(a) << " Ready";
        pill.setState(true, 83);
        pill.resize(pill.sizeHint());
        EXPECT_GE(drawnContrast(pill, pill.rect().adjusted(pill.height() / 2, 2, -pill.height() / 2, -2)),
                  4.5)
            << nameOf(a) << " recording";

        RecordButton record;
        record.resize(300, 38);
        record.setState(false, 1);
        EXPECT_GE(drawnContrast(record, record.rect().adjusted(12, 6, -12, -6)), 4.5)
            << nameOf(a) << " record";

        // The file-name line under a row: the smallest text the window draws.
        Card card;
        auto* label =
            makeLabel(QStringLiteral("Editor - Notes.mov"), 10, Tone::tertiary, QFont::Normal, &card);
        label->move(4, 4);
        label->adjustSize();
        card.resize(label->width() + 8, label->height() + 8);
        EXPECT_GE(drawnContrast(card, QRect(4, 4, label->width(), label->height())), 4.5) << nameOf(a);
    }
    Theme::apply(Appearance::light);
}

TEST(UiLegibility, DisabledControlsLookDisabled) {
    for (Appearance a : {Appearance::light, Appearance::dark}) {
        Theme::apply(a);
        for (bool checked : {false, true}) {
            Switch s;
            s.resize(s.sizeHint());
            s.setChecked(checked);
            const QImage on = s.grab().toImage();
            s.setEnabled(false);
            const QImage off = s.grab().toImage();
            EXPECT_GT(lc::test::meanDifference(on, off), 12)
                << nameOf(a) << (checked ? " checked" : " unchecked");
        }
        // A prominent filled button loses its fill and its text fades.
        PlainButton b(QStringLiteral("Export final video"), Theme::font(12));
        b.setFill([] { return Theme::colours().accentFill; }, 6);
        b.setTone(Tone::onAccent);
        b.setPadding(QMargins(11, 5, 12, 5));
        b.resize(b.sizeHint());
        const QColor enabledFill = b.grab().toImage().pixelColor(3, b.height() / 2);
        EXPECT_LT(contrastRatio(enabledFill, Theme::colours().accentFill), 1.1);
        b.setEnabled(false);
        const QImage image = b.grab().toImage();
        const QColor disabledFill = image.pixelColor(3, b.height() / 2);
        EXPECT_GT(contrastRatio(disabledFill, Theme::colours().accentFill), 2.0)
            << nameOf(a) << " no accent fill";
        EXPECT_LT(drawnContrast(b, b.rect().adjusted(4, 3, -4, -3)), 3.0) << nameOf(a) << " text faded";
    }
    Theme::apply(Appearance::light);
}

TEST_F(UiFixture, EveryFocusableControlDrawsAFocusRing) {
    MainWindow& w = makeWindow();
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs"), win(33, "Mail", "Inbox")}, 1);
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const auto chain = tabChain(&w);
    ASSERT_GE(chain.size(), 12u);
    for (QWidget* control : chain) {
        w.setFocus();
        settle();
        const QImage plain = control->grab().toImage();
        control->setFocus(Qt::TabFocusReason);
        settle();
        ASSERT_TRUE(control->hasFocus()) << describe(control).toStdString();
        EXPECT_NE(control->grab().toImage(), plain) << describe(control).toStdString() << " shows no focus";
    }

    // The size cards in their popover, too.
    w.entryRows()[0]->chip()->click();
    PresetPicker* picker = w.presetPicker();
    ASSERT_NE(picker, nullptr);
    for (QWidget* card :
         std::vector<QWidget*>{picker->cards()[0], picker->cards()[3], picker->customCard()}) {
        picker->setFocus();
        const QImage plain = card->grab().toImage();
        card->setFocus(Qt::TabFocusReason);
        EXPECT_NE(card->grab().toImage(), plain) << describe(card).toStdString();
    }
}

TEST_F(UiFixture, TabWalksHeaderRecordSummaryRowsAndFooterInOrder) {
    MainWindow& w = makeWindow();
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs"), win(33, "Mail", "Inbox")}, 2);
    w.show();
    const auto chain = tabChain(&w);
    const auto at = [&chain](QWidget* control) {
        return std::find(chain.begin(), chain.end(), control) - chain.begin();
    };
    std::vector<QWidget*> expected{w.historyButton(), w.settingsButton(), w.menuButton(), w.recordButton(),
                                   w.refreshButton()};
    for (PlainButton* b : w.summaryButtons())
        expected.push_back(b);
    for (EntryRow* row : w.entryRows())
        for (QWidget* c : std::vector<QWidget*>{row->chip(), row->audioButton(), row->removeButton()})
            expected.push_back(c);
    for (LiveRow* row : w.liveRows())
        expected.push_back(row->addButton());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_LT(at(expected[i]), long(chain.size()))
            << "not reached by Tab: " << describe(expected[i]).toStdString();
    for (std::size_t i = 1; i < expected.size(); ++i)
        EXPECT_LT(at(expected[i - 1]), at(expected[i]))
            << describe(expected[i - 1]).toStdString() << " before " << describe(expected[i]).toStdString();
    EXPECT_LT(at(w.liveRows().back()->addButton()), long(chain.size()) - 1) << "the footer comes last";

    // Rows added later join the order in their place, not at the end.
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs"), win(33, "Mail", "Inbox"),
           win(44, "Term", "sh")});
    model->add(model->windows().pickerWindows().front());
    settle();
    const auto again = tabChain(&w);
    const auto pos = [&again](QWidget* c) {
        return std::find(again.begin(), again.end(), c) - again.begin();
    };
    EXPECT_LT(pos(w.entryRows().back()->removeButton()), pos(w.liveRows().front()->addButton()));
}

TEST_F(UiFixture, EveryControlHasAnAccessibleName) {
    MainWindow& w = makeWindow();
    offer({win(11, "Editor", "Notes"), win(22, "Browser", "Docs")}, 1);
    w.show();
    for (QWidget* control : tabChain(&w))
        EXPECT_FALSE(accessibleName(control).trimmed().isEmpty()) << describe(control).toStdString();

    view().setShowSettings(true);
    SettingsView* settings = w.settingsView();
    ASSERT_NE(settings, nullptr);
    for (QWidget* control : focusableInLayoutOrder(settings))
        EXPECT_FALSE(accessibleName(control).trimmed().isEmpty()) << describe(control).toStdString();
    view().setShowSettings(false);

    // The status pill tells its state, the switches theirs.
    EXPECT_EQ(accessibleName(w.statusPill()), "Ready");
    run(model->session().start());
    w.statusPill()->setState(true, 83);
    EXPECT_EQ(accessibleName(w.statusPill()), "Recording 01:23");
    Switch s;
    s.setChecked(true);
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(&s);
    ASSERT_NE(face, nullptr);
    EXPECT_TRUE(face->state().checkable);
    EXPECT_TRUE(face->state().checked);
    Segmented choice({QStringLiteral("MOV"), QStringLiteral("MP4")});
    choice.setCurrent(1);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&choice)->text(QAccessible::Description), "MP4 selected");
}

TEST_F(UiFixture, ArrowKeysMoveThroughThePresetGrid) {
    MainWindow& w = makeWindow();
    offer({win(11, "Editor", "Notes")}, 1);
    w.show();
    w.entryRows()[0]->chip()->click();
    PresetPicker* picker = w.presetPicker();
    ASSERT_NE(picker, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(picker));
    const auto& cards = picker->cards();
    cards[0]->setFocus();
    const auto press = [&](int key) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        return QApplication::focusWidget();
    };
    EXPECT_EQ(press(Qt::Key_Right), cards[1]);
    EXPECT_EQ(press(Qt::Key_Right), cards[1]) << "the right column is the edge";
    EXPECT_EQ(press(Qt::Key_Down), cards[3]);
    EXPECT_EQ(press(Qt::Key_Left), cards[2]);
    EXPECT_EQ(press(Qt::Key_Down), cards[4]);
    EXPECT_EQ(press(Qt::Key_Down), picker->customCard()) << "the custom card spans the last row";
    EXPECT_EQ(press(Qt::Key_Down), picker->customCard());
    EXPECT_EQ(press(Qt::Key_Up), cards[4]);
    EXPECT_EQ(press(Qt::Key_Up), cards[2]);
    EXPECT_EQ(press(Qt::Key_Up), cards[0]);
    EXPECT_EQ(press(Qt::Key_Up), cards[0]);
    // Space picks the focused card.
    QTest::keyClick(cards[0], Qt::Key_Space);
    EXPECT_EQ(model->windows().entries()[0].preset, Preset::builtIn()[1]);
}

TEST_F(UiFixture, ClickingASwitchsLabelTogglesIt) {
    MainWindow& w = makeWindow();
    w.show();
    view().setShowSettings(true);
    SettingsView* settings = w.settingsView();
    ASSERT_NE(settings, nullptr);
    const bool before = model->settings().showOutline();
    QLabel* label = nullptr;
    for (QLabel* l : settings->findChildren<QLabel*>())
        if (l->text() == "Show outline while recording") label = l;
    ASSERT_NE(label, nullptr);
    ASSERT_NE(label->buddy(), nullptr);
    EXPECT_EQ(accessibleName(label->buddy()), "Show outline while recording");
    QTest::mouseClick(label, Qt::LeftButton, {}, label->rect().center());
    EXPECT_EQ(model->settings().showOutline(), !before);
    QTest::mouseClick(label, Qt::LeftButton, {}, label->rect().center());
    EXPECT_EQ(model->settings().showOutline(), before);

    // A disabled switch is not toggled through its label either.
    label->buddy()->setEnabled(false);
    QTest::mouseClick(label, Qt::LeftButton, {}, label->rect().center());
    EXPECT_EQ(model->settings().showOutline(), before);
}

TEST_F(UiFixture, RowsWithoutAnApplicationIconKeepTheSlot) {
    MainWindow& w = makeWindow();
    offer({win(11, "NoSuchApplicationAnywhere", "Notes"), win(22, "AnotherUnknownApp", "Docs")});
    w.show();
    settle();
    for (LiveRow* row : w.liveRows()) {
        EXPECT_FALSE(row->hasOwnIcon());
        EXPECT_TRUE(row->iconLabel()->isVisibleTo(row));
        ASSERT_FALSE(row->iconLabel()->pixmap().isNull()) << "the generic icon";
        EXPECT_GE(row->titleLabel()->x(), row->iconLabel()->geometry().right()) << "title after the slot";
    }
    ASSERT_EQ(w.liveRows().size(), 2u);
    EXPECT_EQ(w.liveRows()[0]->titleLabel()->x(), w.liveRows()[1]->titleLabel()->x());
}

TEST_F(UiFixture, HeaderMenuHoldsTheApplicationCommands) {
    MainWindow& w = makeWindow();
    EXPECT_TRUE(w.findChildren<QMenuBar*>().empty()) << "no menu bar";
    ASSERT_NE(w.menuButton(), nullptr);
    EXPECT_EQ(w.menuButton()->menu(), w.appMenu());
    QStringList texts;
    for (QAction* a : w.appMenu()->actions())
        if (!a->isSeparator()) texts << a->text();
    EXPECT_EQ(texts, (QStringList{"About Loomcast", "Settings\u2026", "Quit Loomcast"}))
        << "no updater: no Check for Updates";
    QAction* settings = w.appMenu()->actions()[2];
    ASSERT_EQ(settings->text(), "Settings\u2026");
    settings->trigger();
    EXPECT_TRUE(view().showSettings());
    EXPECT_FALSE(view().settingsFocus().has_value());
}

TEST_F(UiFixture, SettingsPageHasOneTitleAndTabWalksItInOrder) {
    MainWindow& w = makeWindow();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const auto shownWindows = [] {
        int n = 0;
        for (QWidget* top : QApplication::topLevelWidgets())
            n += top->isVisible() && top->windowType() != Qt::ToolTip;
        return n;
    };
    const int before = shownWindows();
    w.settingsButton()->click();
    SettingsView* page = w.settingsView();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(shownWindows(), before) << "no dialog of its own";
    EXPECT_TRUE(w.findChildren<QDialog*>().empty());
    EXPECT_EQ(w.windowTitle(), "Loomcast");
    // One title: the page's, in the header beside Back; nothing else shown says "Settings".
    int titles = 0;
    for (QLabel* l : w.findChildren<QLabel*>())
        titles += l->isVisible() && l->text().trimmed() == "Settings";
    EXPECT_EQ(titles, 1);
    ASSERT_TRUE(page->titleLabel()->isVisible());
    EXPECT_EQ(page->titleLabel()->text(), "Settings");
    EXPECT_LT(page->backButton()->geometry().right(), page->titleLabel()->geometry().left());
    EXPECT_EQ(accessibleName(page->backButton()), "Back");

    // Tab from Back walks the page's shown controls top to bottom and comes round again.
    std::vector<QWidget*> expected;
    for (QWidget* c : focusableInLayoutOrder(page))
        if (c->isVisibleTo(page) && c->isEnabled()) expected.push_back(c);
    ASSERT_GT(expected.size(), 8u);
    EXPECT_EQ(expected.front(), page->backButton());
    EXPECT_EQ(tabChain(page), expected);
    ASSERT_EQ(QApplication::focusWidget(), page->backButton());
    for (std::size_t i = 1; i <= expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), expected[i % expected.size()])
            << i << ": " << describe(QApplication::focusWidget()).toStdString();
        // The scrolled form keeps the focused control in sight.
        QWidget* focused = QApplication::focusWidget();
        const QRect seen(focused->mapTo(page, QPoint(0, 0)), focused->size());
        EXPECT_TRUE(page->rect().intersects(seen)) << describe(focused).toStdString();
    }
    view().setShowSettings(false);
}
