#include "ui/SettingsView.h"

#include "app/update/UpdateControls.h"
#include "app/update/UpdateManager.h"
#include "model/app/AppModel.h"
#include "ui/Icons.h"
#include "ui/ShortcutsSection.h"
#include "ui/ViewState.h"

#include <QComboBox>
#include <QDir>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

namespace lc::ui {

namespace {

bool micDenied(MicAuthorization auth) {
    return auth == MicAuthorization::denied || auth == MicAuthorization::restricted;
}

QWidget* separator(QWidget* parent) {
    auto* line = new Card(
        0, [] { return Theme::colours().separator; }, parent);
    line->setFixedHeight(1);
    return line;
}

// A form row: a leading label and a trailing control.
QWidget* formRow(QWidget* parent, QWidget* leading, QWidget* trailing) {
    auto* row = new QWidget(parent);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(12, 8, 12, 8);
    line->setSpacing(8);
    if (leading) line->addWidget(leading);
    line->addStretch(1);
    if (trailing) line->addWidget(trailing);
    if (leading && trailing) {
        auto* label = qobject_cast<QLabel*>(leading);
        if (!label) label = leading->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
        // A symbol is a label too; the naming text is the one with words.
        for (QLabel* l : leading->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
            if (!l->text().isEmpty() && (!label || label->text().isEmpty())) label = l;
        if (label && !label->text().isEmpty()) linkLabel(label, trailing);
    }
    return row;
}

QLabel* helpText(const QString& text, QWidget* parent) {
    auto* label = makeLabel(text, 11, Tone::secondary, QFont::Normal, parent);
    label->setWordWrap(true);
    label->setContentsMargins(12, 0, 12, 8);
    return label;
}

QString tildePath(const QString& path) {
    const QString home = QDir::homePath();
    const QString clean = QDir::cleanPath(path);
    if (clean == home) return QStringLiteral("~");
    if (clean.startsWith(home + u'/')) return u'~' + clean.mid(home.size());
    return clean;
}

} // namespace

QString sessionsFolderText(const AppModel& model) {
    const QString root = model.sessionsRoot().isEmpty() ? sessionsRootDefault() : model.sessionsRoot();
    return tildePath(root);
}

const QString& SettingsView::hevcInfo() {
    static const QString text =
        QStringLiteral("**HEVC**, also called H.265, is a newer video format than the default **H.264**.\n\n"
                       "\u2022 **HEVC:** files about half the size at the same quality. Slightly heavier to "
                       "encode, so on older "
                       "computers it may stress the machine when you record several windows at once.\n"
                       "\u2022 **H.264 (the default):** bigger files, but it plays and edits everywhere with "
                       "no surprises.\n\n"
                       "YouTube, Instagram and TikTok accept both. For several windows at once, leave HEVC "
                       "off. Turn it on if you "
                       "record long sessions and disk space matters.");
    return text;
}

QString SettingsView::hevcInfoHtml() {
    const QStringList runs = hevcInfo().toHtmlEscaped().split(QStringLiteral("**"));
    QString html;
    for (int i = 0; i < runs.size(); ++i)
        html += (i % 2 == 1) ? QStringLiteral("<b>") + runs[i] + QStringLiteral("</b>") : runs[i];
    html.replace(u'\n', QStringLiteral("<br>"));
    return html;
}

QWidget* SettingsView::section(QVBoxLayout* form, const QString& title, QVBoxLayout** rows) {
    auto* header = makeLabel(title, 12, Tone::secondary, QFont::DemiBold, content_);
    header->setContentsMargins(4, 10, 0, 2);
    form->addWidget(header);
    auto* card = new Card(10, cardFill(), content_);
    card->setStroke([] { return Theme::colours().cardStroke; });
    *rows = new QVBoxLayout(card);
    (*rows)->setContentsMargins(0, 2, 0, 2);
    (*rows)->setSpacing(0);
    form->addWidget(card);
    return card;
}

SettingsView::SettingsView(AppModel& model, ViewState& view, update::UpdateManager* updates, QWidget* parent)
    : QWidget(parent), model_(model), view_(view) {
    setObjectName(QStringLiteral("settings"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    // The window's one title row while the page shows: Back, then the title.
    auto* header = new QWidget(this);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(10, 10, 16, 8);
    headerRow->setSpacing(6);
    auto* back = new SymbolButton(QStringLiteral("chevron.left"), 16, Tone::primary, header);
    back->setToolTip(QStringLiteral("Back"));
    back->setFixedSize(30, 30);
    back_ = back;
    headerRow->addWidget(back);
    connect(back, &QAbstractButton::clicked, this, [this] { leave(showsFocusRing(back_)); });
    title_ = makeLabel(QStringLiteral("Settings"), 17, Tone::primary, QFont::Bold, header);
    headerRow->addWidget(title_);
    headerRow->addStretch(1);
    outer->addWidget(header);
    outer->addWidget(separator(this));

    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The page's own background shows behind the sections.
    scroll_->viewport()->setAutoFillBackground(false);
    auto* holder = new QWidget;
    auto* centre = new QHBoxLayout(holder);
    centre->setContentsMargins(0, 0, 0, 0);
    centre->setSpacing(0);
    content_ = new QWidget(holder);
    content_->setMaximumWidth(kFormWidth);
    centre->addStretch(1);
    centre->addWidget(content_, 1000);
    centre->addStretch(1);
    auto* form = new QVBoxLayout(content_);
    form->setContentsMargins(18, 4, 18, 18);
    form->setSpacing(4);

    // Recording
    QVBoxLayout* rows = nullptr;
    recording_ = section(form, QStringLiteral("Recording"), &rows);
    fps_ = new Segmented({QStringLiteral("30 FPS"), QStringLiteral("60 FPS")}, recording_);
    auto* fpsRow = formRow(recording_, makeLabel(QStringLiteral("Frame rate"), 13), fps_);
    rows->addWidget(fpsRow);
    keyRows_.insert(QStringLiteral("fps"), fpsRow);
    keyControls_.insert(QStringLiteral("fps"), fps_);
    connect(fps_, &Segmented::chosen, this, [this](int i) { model_.settings().setFps(i == 1 ? 60 : 30); });
    rows->addWidget(separator(recording_));

    auto* containerBox = new QWidget(recording_);
    auto* containerColumn = new QVBoxLayout(containerBox);
    containerColumn->setContentsMargins(0, 0, 0, 0);
    containerColumn->setSpacing(0);
    container_ = new Segmented({QStringLiteral("MOV"), QStringLiteral("MP4")}, containerBox);
    containerColumn->addWidget(formRow(containerBox, makeLabel(QStringLiteral("Container"), 13), container_));
    containerColumn->addWidget(helpText(
        QStringLiteral(
            "MOV keeps a real timecode track. MP4 plays everywhere; its timecode goes into metadata."),
        containerBox));
    rows->addWidget(containerBox);
    keyRows_.insert(QStringLiteral("container"), containerBox);
    keyControls_.insert(QStringLiteral("container"), container_);
    connect(container_, &Segmented::chosen, this, [this](int i) {
        model_.settings().setContainer(i == 1 ? QStringLiteral("mp4") : QStringLiteral("mov"));
    });
    rows->addWidget(separator(recording_));

    auto* hevcLeading = new QWidget(recording_);
    auto* hevcLine = new QHBoxLayout(hevcLeading);
    hevcLine->setContentsMargins(0, 0, 0, 0);
    hevcLine->setSpacing(4);
    hevcLine->addWidget(
        makeLabel(QStringLiteral("HEVC (H.265)"), 13, Tone::primary, QFont::Normal, hevcLeading));
    auto* info = new SymbolButton(QStringLiteral("info.circle"), 15, Tone::secondary, hevcLeading);
    info->setToolTip(QStringLiteral("What is HEVC?"));
    hevcInfoButton_ = info;
    hevcLine->addWidget(info);
    hevc_ = new Switch(recording_);
    hevc_->setAccessibleName(QStringLiteral("HEVC (H.265)"));
    auto* hevcRow = formRow(recording_, hevcLeading, hevc_);
    rows->addWidget(hevcRow);
    keyRows_.insert(QStringLiteral("hevc"), hevcRow);
    keyControls_.insert(QStringLiteral("hevc"), hevc_);
    connect(hevc_, &QAbstractButton::toggled, this, [this](bool on) { model_.settings().setHevc(on); });

    hevcPopover_ = new Popover(this);
    hevcPopover_->setObjectName(QStringLiteral("hevcInfo"));
    auto* infoColumn = new QVBoxLayout(hevcPopover_);
    infoColumn->setContentsMargins(16, 14, 16, 14);
    auto* infoText = new QLabel(hevcInfoHtml(), hevcPopover_);
    infoText->setTextFormat(Qt::RichText);
    infoText->setWordWrap(true);
    infoText->setFixedWidth(340);
    infoText->setFont(Theme::font(12));
    Theme::setTone(infoText, Tone::primary);
    infoColumn->addWidget(infoText);
    connect(info, &QAbstractButton::clicked, this, [this] { setShowHEVCInfo(!showHEVCInfo_); });
    connect(hevcPopover_, &Popover::closed, this, [this] { showHEVCInfo_ = false; });

    // Microphone
    QWidget* micCard = section(form, QStringLiteral("Microphone"), &rows);
    auto* micLeading = new QWidget(micCard);
    auto* micLine = new QHBoxLayout(micLeading);
    micLine->setContentsMargins(0, 0, 0, 0);
    micLine->setSpacing(6);
    micLine->addWidget(new SymbolLabel(QStringLiteral("mic"), 15, Tone::primary, micLeading));
    micLine->addWidget(
        makeLabel(QStringLiteral("Record microphone"), 13, Tone::primary, QFont::Normal, micLeading));
    mic_ = new Switch(micCard);
    mic_->setAccessibleName(QStringLiteral("Record microphone"));
    auto* micRow = formRow(micCard, micLeading, mic_);
    rows->addWidget(micRow);
    keyRows_.insert(QStringLiteral("mic"), micRow);
    keyControls_.insert(QStringLiteral("mic"), mic_);
    connect(mic_, &QAbstractButton::toggled, this, [this](bool on) { model_.settings().setMicEnabled(on); });

    micDenied_ = new QWidget(micCard);
    auto* deniedColumn = new QVBoxLayout(micDenied_);
    deniedColumn->setContentsMargins(0, 0, 0, 0);
    deniedColumn->setSpacing(0);
    deniedColumn->addWidget(separator(micDenied_));
    auto* openSettings = new QPushButton(QStringLiteral("Open System Settings"), micDenied_);
    openMicSettings_ = openSettings;
    deniedColumn->addWidget(
        formRow(micDenied_, makeLabel(QStringLiteral("Microphone access is off."), 13), openSettings));
    connect(openSettings, &QPushButton::clicked, this,
            [this] { model_.openSettings(QStringLiteral("Privacy_Microphone")); });
    rows->addWidget(micDenied_);

    micAllowed_ = new QWidget(micCard);
    auto* allowedColumn = new QVBoxLayout(micAllowed_);
    allowedColumn->setContentsMargins(0, 0, 0, 0);
    allowedColumn->setSpacing(0);
    allowedColumn->addWidget(separator(micAllowed_));
    device_ = new QComboBox(micAllowed_);
    device_->setMinimumWidth(220);
    device_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    device_->setMinimumContentsLength(22);
    allowedColumn->addWidget(formRow(micAllowed_, makeLabel(QStringLiteral("Device"), 13), device_));
    connect(device_, &QComboBox::activated, this, [this](int index) {
        const QString id = device_->itemData(index).toString();
        model_.settings().setMicDeviceID(id.isEmpty() ? std::nullopt : std::optional<QString>(id));
    });
    allowedColumn->addWidget(separator(micAllowed_));
    auto* levelRow = new QWidget(micAllowed_);
    auto* levelLine = new QHBoxLayout(levelRow);
    levelLine->setContentsMargins(12, 10, 12, 10);
    levelLine->setSpacing(12);
    levelLine->addWidget(makeLabel(QStringLiteral("Level"), 13, Tone::primary, QFont::Normal, levelRow));
    level_ = new LevelMeter(levelRow);
    levelLine->addWidget(level_, 1);
    allowedColumn->addWidget(levelRow);
    allowedColumn->addWidget(separator(micAllowed_));
    micInEach_ = new Switch(micAllowed_);
    micInEach_->setAccessibleName(QStringLiteral("Mic in each file too"));
    allowedColumn->addWidget(
        formRow(micAllowed_, makeLabel(QStringLiteral("Mic in each file too"), 13), micInEach_));
    connect(micInEach_, &QAbstractButton::toggled, this,
            [this](bool on) { model_.settings().setMicInEach(on); });
    rows->addWidget(micAllowed_);

    // Outline
    QWidget* outlineCard = section(form, QStringLiteral("Outline"), &rows);
    outline_ = new Switch(outlineCard);
    rows->addWidget(
        formRow(outlineCard, makeLabel(QStringLiteral("Show outline while recording"), 13), outline_));
    rows->addWidget(helpText(
        QStringLiteral("A red outline around each recorded window. It is never part of the recording."),
        outlineCard));
    rows->addWidget(separator(outlineCard));
    outlineIdle_ = new Switch(outlineCard);
    rows->addWidget(formRow(
        outlineCard, makeLabel(QStringLiteral("Grey outline on selected windows before recording"), 13),
        outlineIdle_));
    connect(outline_, &QAbstractButton::toggled, this,
            [this](bool on) { model_.settings().setShowOutline(on); });
    connect(outlineIdle_, &QAbstractButton::toggled, this,
            [this](bool on) { model_.settings().setOutlineIdle(on); });

    // Startup
    QWidget* startupCard = section(form, QStringLiteral("Startup"), &rows);
    startAtLogin_ = new Switch(startupCard);
    startAtLogin_->setAccessibleName(QStringLiteral("Start Loomcast when I log in"));
    rows->addWidget(
        formRow(startupCard, makeLabel(QStringLiteral("Start Loomcast when I log in"), 13), startAtLogin_));
    rows->addWidget(
        helpText(QStringLiteral("Loomcast then waits in the tray, or minimised where there is no tray."),
                 startupCard));
    connect(startAtLogin_, &QAbstractButton::toggled, this,
            [this](bool on) { model_.settings().setStartAtLogin(on); });

    // Shortcuts
    QWidget* shortcutsCard = section(form, QStringLiteral("Shortcuts"), &rows);
    shortcuts_ = new ShortcutsSection(model_, shortcutsCard);
    rows->addWidget(shortcuts_);
    keyRows_.insert(QStringLiteral("shortcuts"), shortcutsCard);
    keyControls_.insert(QStringLiteral("shortcuts"), shortcuts_);

    // Updates
    if (updates && updates->packageManaged()) {
        QWidget* updatesCard = section(form, QStringLiteral("Updates"), &rows);
        auto* managed = makeLabel(kPackageManagedText, 13, Tone::primary, QFont::Normal, updatesCard);
        managed->setWordWrap(true);
        managed->setContentsMargins(12, 8, 12, 8);
        rows->addWidget(managed);
    } else if (updates) {
        QWidget* updatesCard = section(form, QStringLiteral("Updates"), &rows);
        auto* autoInstall = new Switch(updatesCard);
        rows->addWidget(formRow(updatesCard,
                                makeLabel(QStringLiteral("Install updates automatically when I quit"), 13),
                                autoInstall));
        update::bindAutoInstallToggle(autoInstall, *updates);
        rows->addWidget(
            helpText(QStringLiteral("Loomcast checks for updates at most once a day and never interrupts a "
                                    "recording. Off by default."),
                     updatesCard));
        rows->addWidget(separator(updatesCard));
        auto* check = new QPushButton(QStringLiteral("Check for Updates\u2026"), updatesCard);
        checkUpdates_ = check;
        rows->addWidget(formRow(updatesCard, check, nullptr));
        update::bindCheckForUpdatesButton(check, *updates);
    }

    // Output
    QWidget* outputCard = section(form, QStringLiteral("Output"), &rows);
    auto* openFolder = new QPushButton(QStringLiteral("Open folder"), outputCard);
    rows->addWidget(formRow(outputCard, makeLabel(sessionsFolderText(model_), 13), openFolder));
    connect(openFolder, &QPushButton::clicked, this, [this] { model_.openOutputFolder(); });
    form->addStretch(1);

    scroll_->setWidget(holder);
    holder->setAutoFillBackground(false);
    outer->addWidget(scroll_, 1);

    connect(&model_.settings(), &Settings::fpsChanged, this, [this] { sync(); });
    connect(&model_.settings(), &Settings::containerChanged, this, [this] { sync(); });
    connect(&model_.settings(), &Settings::hevcChanged, this, [this] { sync(); });
    connect(&model_.settings(), &Settings::micEnabledChanged, this, [this] { sync(); });
    connect(&model_.settings(), &Settings::micDeviceIDChanged, this, [this] { sync(); });
    connect(&model_.mic(), &Microphone::micDevicesChanged, this, [this] { sync(); });
    connect(&model_.settings(), &Settings::micInEachChanged, this, [this] { sync(); });
    connect(&model_.mic(), &Microphone::micAuthChanged, this, [this] { sync(); });
    connect(&model_.settings(), &Settings::showOutlineChanged, this, [this] { sync(); });
    connect(&model_.settings(), &Settings::outlineIdleChanged, this, [this] { sync(); });
    connect(&model_.settings(), &Settings::startAtLoginChanged, this, [this] { sync(); });
    connect(&model_.session(), &SessionController::isRecordingChanged, this, [this] { sync(); });
    connect(&model_.mic(), &Microphone::micLevelChanged, level_, &LevelMeter::setLevel);
    connect(&view_, &ViewState::settingsFocusChanged, this, [this] {
        if (!isHidden()) QTimer::singleShot(0, this, [this] { scrollToKey(view_.settingsFocus()); });
    });
    sync();
    orderTabs(this);
}

void SettingsView::sync() {
    const bool recording = model_.session().isRecording();
    recording_->setEnabled(!recording);
    {
        const QSignalBlocker b1(fps_), b2(container_), b3(hevc_), b4(mic_), b5(micInEach_), b6(outline_),
            b7(outlineIdle_), b8(device_), b9(startAtLogin_);
        fps_->setCurrent(model_.settings().fps() == 60 ? 1 : model_.settings().fps() == 30 ? 0 : -1);
        container_->setCurrent(model_.settings().container() == QLatin1String("mp4")   ? 1
                               : model_.settings().container() == QLatin1String("mov") ? 0
                                                                                       : -1);
        hevc_->setChecked(model_.settings().hevc());
        mic_->setChecked(model_.settings().micEnabled());
        micInEach_->setChecked(model_.settings().micInEach());
        outline_->setChecked(model_.settings().showOutline());
        outlineIdle_->setChecked(model_.settings().outlineIdle());
        startAtLogin_->setChecked(model_.settings().startAtLogin());

        device_->clear();
        int current = -1;
        for (const MicDevice& d : model_.mic().micDevices()) {
            device_->addItem(d.name, d.id);
            if (model_.settings().micDeviceID() && *model_.settings().micDeviceID() == d.id)
                current = device_->count() - 1;
        }
        device_->setCurrentIndex(current);
    }
    const bool denied = micDenied(model_.mic().micAuth());
    mic_->setEnabled(!recording && !denied);
    micDenied_->setVisible(denied);
    openMicSettings_->setVisible(model_.services().desktop && model_.services().desktop->hasSettings(
                                                                  QStringLiteral("Privacy_Microphone")));
    micAllowed_->setVisible(!denied);
    const bool micControls = model_.settings().micEnabled() && !recording;
    device_->setEnabled(micControls);
    micInEach_->setEnabled(micControls);
    level_->setLevel(model_.mic().micLevel());
}

void SettingsView::setShowHEVCInfo(bool on) {
    showHEVCInfo_ = on;
    if (on)
        hevcPopover_->showAt(hevcInfoButton_);
    else
        hevcPopover_->hide();
}

int SettingsView::scrollPosition() const {
    return scroll_->verticalScrollBar()->value();
}

int SettingsView::rowTop(const QString& key) const {
    QWidget* row = keyRows_.value(key);
    return row ? row->mapTo(content_, QPoint(0, 0)).y() : -1;
}

void SettingsView::scrollToKey(const std::optional<QString>& key, bool animated) {
    QScrollBar* bar = scroll_->verticalScrollBar();
    content_->layout()->activate();
    const int target = key && keyRows_.contains(*key) ? std::min(bar->maximum(), rowTop(*key)) : 0;
    if (!animated) return bar->setValue(target);
    auto* animation = new QPropertyAnimation(bar, "value", this);
    animation->setDuration(250);
    animation->setEasingCurve(QEasingCurve::InOutCubic);
    animation->setStartValue(bar->value());
    animation->setEndValue(target);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    sync();
}

void SettingsView::present(bool keyboard) {
    sync();
    scroll_->verticalScrollBar()->setValue(0);
    QWidget* first = back_;
    if (const auto& key = view_.settingsFocus()) {
        // A control of the named section, unless a session locks it.
        QWidget* control = keyControls_.value(*key);
        if (control && control->isEnabled() && control->isVisibleTo(this)) {
            const auto inside = focusableInLayoutOrder(control);
            first = (control->focusPolicy() & Qt::TabFocus) || inside.empty() ? control : inside.front();
        }
    }
    first->setFocus(keyboard ? Qt::TabFocusReason : Qt::OtherFocusReason);
    // On the next turn of the loop, once the form has its final geometry.
    QTimer::singleShot(0, this, [this] {
        if (view_.settingsFocus()) scrollToKey(view_.settingsFocus());
    });
}

void SettingsView::leave(bool keyboard) {
    leftByKeyboard_ = keyboard;
    view_.setShowSettings(false);
}

void SettingsView::keyPressEvent(QKeyEvent* event) {
    // Reaches the page when no control inside took the key (a shortcut being recorded does).
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) return leave(true);
    QWidget::keyPressEvent(event);
}

// --- PermissionsView -------------------------------------------------------------------------

PermissionsView::PermissionsView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("permissions"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 28, 32, 24);
    column->setSpacing(10);
    column->addWidget(new SymbolLabel(QStringLiteral("record.circle"), 52, Tone::red, this), 0,
                      Qt::AlignHCenter);
    column->addWidget(makeLabel(QStringLiteral("Loomcast permissions"), 20, Tone::primary, QFont::Bold, this),
                      0, Qt::AlignHCenter);
    auto* intro =
        makeLabel(QStringLiteral("Loomcast records windows through the X11 window system. Log in to an X11 "
                                 "session, or start Loomcast under XWayland, then check again."),
                  13, Tone::secondary, QFont::Normal, this);
    intro->setWordWrap(true);
    intro->setAlignment(Qt::AlignHCenter);
    column->addWidget(intro);
    column->addSpacing(8);

    struct SectionSpec {
        QString name, explanation, note, anchor;
    };
    const std::vector<SectionSpec> specs{
        {QStringLiteral("Window control"),
         QStringLiteral(
             "Optional. Lets Loomcast resize and centre windows to the video size. Without it windows are "
             "recorded as they are."),
         {},
         QStringLiteral("Privacy_Accessibility")},
        {QStringLiteral("Microphone"),
         QStringLiteral(
             "Optional. Needed only to record your voice. The Microphone switch stays off without it."),
         {},
         QStringLiteral("Privacy_Microphone")},
        {QStringLiteral("Screen Recording"),
         QStringLiteral("Required. Lets Loomcast capture the windows you pick."),
         QStringLiteral("Needs an X11 display with the Composite extension."),
         QStringLiteral("Privacy_ScreenCapture")},
    };
    auto* card = new Card(12, cardFill(), this);
    card->setStroke([] { return Theme::colours().cardStroke; });
    auto* list = new QVBoxLayout(card);
    list->setContentsMargins(0, 4, 0, 4);
    list->setSpacing(0);
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const SectionSpec& s = specs[i];
        if (i > 0) list->addWidget(separator(card));
        auto* rowWidget = new QWidget(card);
        auto* row = new QHBoxLayout(rowWidget);
        row->setContentsMargins(14, 10, 14, 10);
        row->setSpacing(10);
        Row r;
        r.name = s.name;
        r.mark = new SymbolLabel(QStringLiteral("circle"), 20, Tone::secondary, rowWidget);
        row->addWidget(r.mark, 0, Qt::AlignTop);
        auto* text = new QVBoxLayout;
        text->setSpacing(2);
        text->addWidget(makeLabel(s.name, 13, Tone::primary, QFont::DemiBold, rowWidget));
        auto* explanation = makeLabel(s.explanation, 11, Tone::secondary, QFont::Normal, rowWidget);
        explanation->setWordWrap(true);
        text->addWidget(explanation);
        if (!s.note.isEmpty()) {
            auto* note = makeLabel(s.note, 11, Tone::orange, QFont::Normal, rowWidget);
            note->setWordWrap(true);
            text->addWidget(note);
        }
        row->addLayout(text, 1);
        auto* open = new QPushButton(QStringLiteral("Open Settings"), rowWidget);
        r.open = open;
        row->addWidget(open, 0, Qt::AlignVCenter);
        const QString anchor = s.anchor;
        connect(open, &QPushButton::clicked, this, [this, anchor] {
            if (anchor == QLatin1String("Privacy_Microphone")) return model_.requestMic();
            model_.openSettings(anchor);
        });
        list->addWidget(rowWidget);
        rows_.push_back(r);
    }
    column->addWidget(card);
    column->addStretch(1);
    auto* again = new QPushButton(QStringLiteral("Check again"), this);
    again->setDefault(true);
    column->addWidget(again, 0, Qt::AlignHCenter);
    connect(again, &QPushButton::clicked, this,
            [this] { model_.runReported(model_.windows().refresh(true), QStringLiteral("Checking again")); });

    connect(&model_.windows(), &WindowList::axOKChanged, this, [this] { sync(); });
    connect(&model_.windows(), &WindowList::screenOKChanged, this, [this] { sync(); });
    connect(&model_.mic(), &Microphone::micAuthChanged, this, [this] { sync(); });
    sync();
}

void PermissionsView::sync() {
    const bool granted[3] = {model_.windows().axOK(), model_.mic().micAuth() == MicAuthorization::authorized,
                             model_.windows().screenOK()};
    const QString anchors[3] = {QStringLiteral("Privacy_Accessibility"), QStringLiteral("Privacy_Microphone"),
                                QStringLiteral("Privacy_ScreenCapture")};
    const auto& desktop = model_.services().desktop;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        Row& r = rows_[i];
        r.granted = granted[i];
        r.mark->set(granted[i] ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("circle"),
                    granted[i] ? Tone::green : Tone::secondary);
        // Only where this desktop has a page to open; the microphone button may also ask first.
        const bool canOpen = desktop && desktop->hasSettings(anchors[i]);
        const bool canAsk = i == 1 && model_.mic().micAuth() == MicAuthorization::notDetermined;
        r.open->setVisible(!granted[i] && (canOpen || canAsk));
    }
}

QList<std::pair<QString, bool>> PermissionsView::rows() const {
    QList<std::pair<QString, bool>> out;
    for (const Row& r : rows_)
        out.append({r.name, r.granted});
    return out;
}

} // namespace lc::ui
