#include "ui/Rows.h"

#include "model/app/AppModel.h"
#include "ui/Icons.h"
#include "ui/PresetPicker.h"
#include "ui/ViewState.h"

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>
#include <QVBoxLayout>

namespace lc::ui {

namespace {

// The Icon key of a desktop entry file, read by hand: QSettings mangles the key syntax.
QString iconKey(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    QTextStream in(&file);
    bool inEntry = false;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(u'[')) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (inEntry && line.startsWith(QLatin1String("Icon="))) return line.mid(5).trimmed();
    }
    return {};
}

QString startupClass(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1String("StartupWMClass="))) return line.mid(15).trimmed();
    }
    return {};
}

QString desktopFileFor(const QString& appID) {
    const QStringList dirs = QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
    const QString wanted = appID.toLower();
    for (const QString& dir : dirs) {
        const QString exact = dir + u'/' + appID + QStringLiteral(".desktop");
        if (QFile::exists(exact)) return exact;
    }
    for (const QString& dir : dirs) {
        const QFileInfoList files = QDir(dir).entryInfoList({QStringLiteral("*.desktop")}, QDir::Files);
        for (const QFileInfo& f : files) {
            if (f.completeBaseName().toLower() == wanted) return f.filePath();
        }
    }
    for (const QString& dir : dirs) {
        const QFileInfoList files = QDir(dir).entryInfoList({QStringLiteral("*.desktop")}, QDir::Files);
        for (const QFileInfo& f : files) {
            if (startupClass(f.filePath()).toLower() == wanted) return f.filePath();
        }
    }
    return {};
}

QString statusLineText(const QLabel* label) {
    return label ? label->text() : QString();
}

} // namespace

QIcon applicationIcon(const QString& applicationID) {
    static QHash<QString, QIcon> cache;
    if (applicationID.isEmpty()) return {};
    if (const auto it = cache.constFind(applicationID); it != cache.constEnd()) return *it;
    QIcon icon;
    const QString desktop = desktopFileFor(applicationID);
    if (!desktop.isEmpty()) {
        const QString name = iconKey(desktop);
        if (!name.isEmpty()) icon = QDir::isAbsolutePath(name) ? QIcon(name) : QIcon::fromTheme(name);
    }
    cache.insert(applicationID, icon);
    return icon;
}

QIcon genericApplicationIcon() {
    QIcon icon = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    if (icon.isNull()) icon = symbolIcon(QStringLiteral("macwindow"), Theme::colours().secondary, 20);
    return icon;
}

// --- Thumb -----------------------------------------------------------------------------------

Thumb::Thumb(QWidget* parent) : QWidget(parent) {
    setFixedSize(64, 42);
    connect(&Theme::instance(), &Theme::changed, this, [this] { update(); });
}

void Thumb::setImage(const QImage& image) {
    if (image.cacheKey() == image_.cacheKey() && image.isNull() == image_.isNull()) return;
    image_ = image;
    update();
}

void Thumb::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF frame(rect());
    QPainterPath clip;
    clip.addRoundedRect(frame, 6, 6);
    p.setClipPath(clip);
    if (image_.isNull()) {
        p.fillRect(frame, withAlpha(Theme::colours().text, 0.05));
        const int s = 22;
        p.drawPixmap(
            (width() - s) / 2, (height() - s) / 2,
            symbolPixmap(QStringLiteral("macwindow"), Theme::colours().secondary, s, devicePixelRatioF()));
        return;
    }
    // Fill the frame, cropping what overflows.
    const QSizeF src = image_.size();
    const qreal scale = std::max(frame.width() / src.width(), frame.height() / src.height());
    const QSizeF drawn = src * scale;
    const QRectF target((frame.width() - drawn.width()) / 2, (frame.height() - drawn.height()) / 2,
                        drawn.width(), drawn.height());
    p.drawImage(target, image_);
    p.setClipping(false);
    p.setPen(QPen(withAlpha(Theme::colours().text, 0.12), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(frame.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
}

// --- EntryRow --------------------------------------------------------------------------------

EntryRow::EntryRow(AppModel& model, ViewState& view, const Entry& entry, QWidget* parent)
    : Card(10, cardFill(), parent), model_(model), view_(view), id_(entry.id) {
    setStroke([] { return Theme::colours().cardStroke; });
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(10);

    thumb_ = new Thumb(this);
    row->addWidget(thumb_, 0, Qt::AlignVCenter);

    auto* column = new QVBoxLayout;
    column->setSpacing(1);
    title_ = new ElidedLabel(this);
    title_->setFont(Theme::font(13, QFont::Medium));
    Theme::setTone(title_, Tone::primary);
    app_ = new ElidedLabel(this);
    app_->setFont(Theme::font(11));
    Theme::setTone(app_, Tone::secondary);
    column->addWidget(title_);
    column->addWidget(app_);
    status_ = new QVBoxLayout;
    status_->setSpacing(1);
    column->addLayout(status_);
    row->addLayout(column, 1);

    chip_ = new PlainButton(QString(), Theme::font(11, QFont::Medium), this);
    chip_->setTrailingSymbol(QStringLiteral("chevron.down"));
    chip_->setFill(tinted(Tone::primary, 0.07));
    chip_->setPadding(QMargins(9, 4, 8, 4));
    chip_->setToolTip(QStringLiteral("Video size"));
    row->addWidget(chip_, 0, Qt::AlignVCenter);
    connect(chip_, &QAbstractButton::clicked, this, [this] { view_.setPresetPopoverFor(id_); });

    audio_ = new SymbolButton(QStringLiteral("speaker.wave.2.fill"), 16, Tone::secondary, this);
    audio_->setToolTip(QStringLiteral("App audio"));
    row->addWidget(audio_, 0, Qt::AlignVCenter);
    connect(audio_, &QAbstractButton::clicked, this, [this] {
        if (const Entry* e = model_.windows().entry(id_)) model_.setAppAudio(id_, !e->appAudio);
    });

    start_ = new PlainButton(QStringLiteral("Start"), Theme::font(11, QFont::DemiBold), this);
    start_->setFill(tinted(Tone::red, 0.14));
    start_->setTone(Tone::red);
    start_->setPadding(QMargins(10, 4, 10, 4));
    row->addWidget(start_, 0, Qt::AlignVCenter);
    connect(start_, &QAbstractButton::clicked, this, [this] { model_.session().launchEntry(id_); });

    remove_ = new SymbolButton(QStringLiteral("xmark"), 13, Tone::secondary, this);
    remove_->setToolTip(QStringLiteral("Remove from list"));
    row->addWidget(remove_, 0, Qt::AlignVCenter);
    connect(remove_, &QAbstractButton::clicked, this, [this] { model_.remove(id_); });

    setEntry(entry, model.session().isRecording());
}

void EntryRow::addStatus(const QString& symbol, const QString& text, Tone tone, qreal size) {
    auto* line = new QWidget(this);
    auto* row = new QHBoxLayout(line);
    row->setContentsMargins(0, 1, 0, 0);
    row->setSpacing(4);
    if (!symbol.isEmpty()) row->addWidget(new SymbolLabel(symbol, int(size), tone, line), 0, Qt::AlignTop);
    auto* label = makeLabel(text, size, tone, QFont::Normal, line);
    label->setWordWrap(true);
    label->setObjectName(QStringLiteral("status"));
    row->addWidget(label, 1);
    status_->addWidget(line);
}

QStringList EntryRow::statusTexts() const {
    QStringList texts;
    for (int i = 0; i < status_->count(); ++i) {
        if (QWidget* line = status_->itemAt(i)->widget())
            texts << statusLineText(line->findChild<QLabel*>(QStringLiteral("status")));
    }
    return texts;
}

void EntryRow::setEntry(const Entry& entry, bool sessionRunning) {
    const QHash<std::uint32_t, QImage>& thumbs = model_.windows().thumbs();
    const auto thumb = entry.windowID ? thumbs.constFind(*entry.windowID) : thumbs.constEnd();
    thumb_->setImage(thumb != thumbs.constEnd() ? *thumb : QImage());
    if (!first_ && entry == shown_ && sessionRunning == shownSession_) return;
    first_ = false;
    shown_ = entry;
    shownSession_ = sessionRunning;

    title_->setText(entry.title);
    title_->setToolTip(entry.title);
    app_->setText(entry.appName);

    while (QLayoutItem* item = status_->takeAt(0)) {
        if (QWidget* w = item->widget()) w->deleteLater();
        std::unique_ptr<QLayoutItem> owned(item); // takeAt hands the item over
    }
    if (!entry.windowID)
        addStatus({}, QStringLiteral("Open ") + entry.appName + QStringLiteral(" to enable"), Tone::secondary,
                  11);
    if (entry.warning)
        addStatus(QStringLiteral("exclamationmark.triangle.fill"), *entry.warning, Tone::orange, 11);
    if (entry.note) addStatus({}, *entry.note, Tone::orange, 11);
    if (entry.info) addStatus({}, *entry.info, Tone::secondary, 11);
    if (entry.sound) addStatus(QStringLiteral("speaker.slash"), *entry.sound, Tone::orange, 11);
    if (entry.failure) addStatus(QStringLiteral("xmark.octagon.fill"), *entry.failure, Tone::red, 11);
    if ((sessionRunning || entry.isRecording) && entry.file) addStatus({}, *entry.file, Tone::tertiary, 10);

    chip_->setText(PresetCard::chip(entry.preset));
    chip_->updateGeometry();
    audio_->setSymbol(entry.appAudio ? QStringLiteral("speaker.wave.2.fill")
                                     : QStringLiteral("speaker.slash"));
    audio_->setEnabled(!entry.isRecording);
    start_->setVisible(sessionRunning && entry.windowID.has_value() && !entry.isRecording);
}

// --- LiveRow ---------------------------------------------------------------------------------

LiveRow::LiveRow(AppModel& model, const LiveWindow& window, QWidget* parent)
    : Card(8, cardFill(), parent), model_(model), window_(window) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 6, 8, 6);
    row->setSpacing(8);
    icon_ = new QLabel(this);
    icon_->setFixedSize(20, 20);
    connect(&Theme::instance(), &Theme::changed, this,
            [this] { setWindow(window_, model_.session().isRecording()); });
    row->addWidget(icon_, 0, Qt::AlignVCenter);
    auto* column = new QVBoxLayout;
    column->setSpacing(0);
    title_ = new ElidedLabel(this);
    title_->setFont(Theme::font(12));
    Theme::setTone(title_, Tone::primary);
    app_ = new ElidedLabel(this);
    app_->setFont(Theme::font(11));
    Theme::setTone(app_, Tone::secondary);
    column->addWidget(title_);
    column->addWidget(app_);
    row->addLayout(column, 1);
    add_ = new PlainButton(QStringLiteral("Add +"), Theme::font(11, QFont::Medium), this);
    add_->setFill(tinted(Tone::primary, 0.07));
    add_->setPadding(QMargins(10, 4, 10, 4));
    row->addWidget(add_, 0, Qt::AlignVCenter);
    connect(add_, &QAbstractButton::clicked, this, [this] { model_.add(window_); });
    setWindow(window, model.session().isRecording());
}

void LiveRow::setWindow(const LiveWindow& window, bool sessionRunning) {
    window_ = window;
    // The slot stays, so every row's title starts at the same place.
    const QIcon icon = applicationIcon(window.bundleID);
    hasOwnIcon_ = !icon.isNull();
    icon_->setPixmap(hasOwnIcon_ ? icon.pixmap(20, 20) : genericApplicationIcon().pixmap(20, 20));
    title_->setText(window.title);
    title_->setToolTip(window.title);
    app_->setText(window.appName);
    add_->setText(sessionRunning ? QStringLiteral("Add & record +") : QStringLiteral("Add +"));
    add_->updateGeometry();
}

} // namespace lc::ui
