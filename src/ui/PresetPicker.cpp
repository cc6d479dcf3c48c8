#include "ui/PresetPicker.h"

#include "model/app/AppModel.h"
#include "ui/Icons.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace lc::ui {

namespace {

const QString kDot = QStringLiteral(" \u00B7 ");
const QString kTimes = QStringLiteral("\u00D7");

void paintCardBackground(QPainter& p, const QRectF& r, bool selected, bool hovered) {
    const auto& c = Theme::colours();
    QColor fill = selected ? withAlpha(c.accent, 0.14) : c.card;
    if (hovered && !selected) fill = c.card.lighter(Theme::appearance() == Appearance::dark ? 125 : 97);
    p.setPen(QPen(selected ? c.accent : withAlpha(c.text, 0.14), selected ? 1.5 : 1));
    p.setBrush(fill);
    p.drawRoundedRect(r.adjusted(0.75, 0.75, -0.75, -0.75), 10, 10);
}

QColor iconTint(bool selected) {
    return selected ? Theme::colours().accent : Theme::colours().secondary;
}

// The custom card hosts its own controls, so it is a button with a layout.
class CustomCard : public QAbstractButton {
public:
    explicit CustomCard(QWidget* parent) : QAbstractButton(parent) {
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    }
    void setSelected(bool on) {
        selected_ = on;
        update();
    }
    QSize sizeHint() const override { return layout() ? layout()->sizeHint() : QSize(170, 54); }
    QSize minimumSizeHint() const override { return layout() ? layout()->minimumSize() : QSize(10, 54); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        paintCardBackground(p, QRectF(rect()), selected_, underMouse());
        if (showsFocusRing(this)) drawFocusRing(p, QRectF(rect()), 10);
    }
    void enterEvent(QEnterEvent*) override { update(); }
    void leaveEvent(QEvent*) override { update(); }

private:
    bool selected_ = false;
};

QLineEdit* makeSizeField(QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,6}")), field));
    field->setFixedWidth(54);
    field->setAlignment(Qt::AlignRight);
    field->setFont(Theme::monoDigitFont(12));
    return field;
}

} // namespace

// --- PresetCard ------------------------------------------------------------------------------

const std::array<PresetCardInfo, 6>& PresetCard::table() {
    static const std::array<PresetCardInfo, 6> cards{{
        {{QStringLiteral("9:16 Vertical \u00B7 Shorts/Reels/TikTok"), 1080, 1920},
         "9:16",
         "Portrait",
         QStringLiteral("Shorts \u00B7 Reels \u00B7 TikTok")},
        {{QStringLiteral("16:9 Horizontal \u00B7 YouTube"), 1920, 1080}, "16:9", "Landscape", "YouTube"},
        {{QStringLiteral("1:1 Square"), 1080, 1080}, "1:1", "Square", "Square post"},
        {{QStringLiteral("4:5 Portrait \u00B7 Instagram"), 1080, 1350}, "4:5", "Portrait", "Instagram feed"},
        {{QStringLiteral("4:3 Classic"), 1440, 1080}, "4:3", "Classic", "Classic video"},
        {{QStringLiteral("16:9 4K"), 3840, 2160}, "16:9", "4K", "Ultra HD"},
    }};
    return cards;
}

QString PresetCard::chip(const Preset& preset) {
    if (preset.isCustom())
        return QStringLiteral("Custom") + kDot + QString::number(preset.width) + kTimes +
               QString::number(preset.height);
    for (const auto& card : table()) {
        if (card.preset.width == preset.width && card.preset.height == preset.height)
            return card.ratio + kDot + card.sub;
    }
    return preset.label();
}

PresetCard::PresetCard(const PresetCardInfo& info, QWidget* parent) : QAbstractButton(parent), info_(info) {
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setToolTip(info.preset.label());
    setAccessibleName(info.preset.name);
    connect(&Theme::instance(), &Theme::changed, this, [this] { update(); });
}

void PresetCard::setSelected(bool selected) {
    if (selected == selected_) return;
    selected_ = selected;
    update();
}

QSize PresetCard::sizeHint() const {
    const QFontMetrics title(Theme::font(13, QFont::DemiBold));
    const QFontMetrics sub(Theme::font(11));
    return {170, 10 + title.height() + 2 + sub.height() + 10};
}

void PresetCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    paintCardBackground(p, QRectF(rect()), selected_, underMouse());

    // The shape: longer side fills a 24-point box.
    const qreal box = 24, w = qreal(info_.preset.width), h = qreal(info_.preset.height);
    const QSizeF s = w >= h ? QSizeF(box, box * h / w) : QSizeF(box * w / h, box);
    const QRectF shape(12 + (box - s.width()) / 2, (height() - s.height()) / 2, s.width(), s.height());
    p.setPen(Qt::NoPen);
    p.setBrush(iconTint(selected_));
    p.drawRoundedRect(shape, 3, 3);

    const QFont titleFont = Theme::font(13, QFont::DemiBold);
    const QFont shapeFont = Theme::font(12);
    const QFont subFont = Theme::font(11);
    const QFontMetrics tm(titleFont), sm(shapeFont), um(subFont);
    const int x = 12 + int(box) + 10;
    const int top = (height() - (tm.height() + 2 + um.height())) / 2;
    p.setFont(titleFont);
    p.setPen(Theme::colours().text);
    p.drawText(QPoint(x, top + tm.ascent()), info_.ratio);
    p.setFont(shapeFont);
    p.setPen(Theme::colours().secondary);
    p.drawText(QPoint(x + tm.horizontalAdvance(info_.ratio) + 6, top + tm.ascent()), info_.shape);
    p.setFont(subFont);
    const QString sub = um.elidedText(info_.sub, Qt::ElideRight, width() - x - 8);
    p.drawText(QPoint(x, top + tm.height() + 2 + um.ascent()), sub);
    if (showsFocusRing(this)) drawFocusRing(p, QRectF(rect()), 10);
}

// --- CustomSize ------------------------------------------------------------------------------

namespace CustomSize {

qint64 clampSide(qint64 value) {
    const qint64 even = value - (value % 2 + 2) % 2; // rounds down, negatives included
    return std::max(kMinimum, even);
}

Preset withWidth(qint64 width, qint64 height) {
    return Preset{QStringLiteral("Custom"), clampSide(width), clampSide(height)};
}

Preset withHeight(qint64 width, qint64 height) {
    return Preset{QStringLiteral("Custom"), clampSide(width), clampSide(height)};
}

Preset initial() {
    return Preset{QStringLiteral("Custom"), 1280, 720};
}

} // namespace CustomSize

// --- PresetPicker ----------------------------------------------------------------------------

PresetPicker::PresetPicker(AppModel& model, QUuid entryID, QWidget* parent)
    : Popover(parent), model_(model), entryID_(entryID) {
    setObjectName(QStringLiteral("PresetPicker"));
    setFixedWidth(400);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(10);
    column->addWidget(makeLabel(QStringLiteral("Video size"), 12, Tone::secondary, QFont::DemiBold));

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnMinimumWidth(0, 10);
    grid->setColumnMinimumWidth(1, 10);
    for (std::size_t i = 0; i < cards_.size(); ++i) {
        auto* card = new PresetCard(PresetCard::table()[i], this);
        cards_[i] = card;
        grid->addWidget(card, int(i / 2), int(i % 2));
        connect(card, &QAbstractButton::clicked, this,
                [this, preset = card->info().preset] { model_.setPreset(entryID_, preset); });
    }

    auto* custom = new CustomCard(this);
    custom_ = custom;
    auto* customRow = new QHBoxLayout(custom);
    customRow->setContentsMargins(12, 8, 10, 8);
    customRow->setSpacing(10);
    customIcon_ = new AspectIcon(1280, 720, 24, custom);
    customRow->addWidget(customIcon_);
    auto* customColumn = new QVBoxLayout;
    customColumn->setSpacing(4);
    customColumn->addWidget(makeLabel(QStringLiteral("Custom"), 13, Tone::primary, QFont::DemiBold));
    customFields_ = new QWidget(custom);
    auto* fields = new QHBoxLayout(customFields_);
    fields->setContentsMargins(0, 0, 0, 0);
    fields->setSpacing(4);
    fields->addWidget(makeLabel(QStringLiteral("W"), 11, Tone::secondary));
    widthField_ = makeSizeField(customFields_);
    fields->addWidget(widthField_);
    fields->addSpacing(4);
    fields->addWidget(makeLabel(QStringLiteral("H"), 11, Tone::secondary));
    heightField_ = makeSizeField(customFields_);
    fields->addWidget(heightField_);
    fields->addStretch(1);
    customColumn->addWidget(customFields_);
    customRow->addLayout(customColumn, 1);
    grid->addWidget(custom, 3, 0, 1, 2);
    column->addLayout(grid);

    connect(custom, &QAbstractButton::clicked, this, [this] {
        const Entry* entry = model_.windows().entry(entryID_);
        if (entry && !entry->preset.isCustom()) model_.setPreset(entryID_, CustomSize::initial());
    });
    connect(widthField_, &QLineEdit::editingFinished, this, [this] { commitWidth(widthField_->text()); });
    connect(heightField_, &QLineEdit::editingFinished, this, [this] { commitHeight(heightField_->text()); });

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: palette(mid); border: none;"));
    column->addWidget(divider);

    auto* applyAll =
        new PlainButton(QStringLiteral("Apply to all selected"), Theme::font(12, QFont::Medium), this);
    applyAll->setLeadingSymbol(QStringLiteral("square.on.square"));
    applyAll->setFill(tinted(Tone::primary, 0.07), 6);
    applyAll->setPadding(QMargins(10, 5, 10, 5));
    applyAll_ = applyAll;
    column->addWidget(applyAll, 0, Qt::AlignLeft);
    connect(applyAll, &QAbstractButton::clicked, this, [this] {
        const Entry* entry = model_.windows().entry(entryID_);
        if (!entry) return;
        const Preset preset = entry->preset;
        std::vector<QUuid> ids;
        for (const Entry& e : model_.windows().entries())
            ids.push_back(e.id);
        for (const QUuid& id : ids)
            model_.setPreset(id, preset);
    });

    for (PresetCard* card : cards_)
        card->installEventFilter(this);
    custom_->installEventFilter(this);
    custom_->setAccessibleName(QStringLiteral("Custom size"));
    applyAll_->setAccessibleName(applyAll_->text());

    connect(&model_.windows(), &WindowList::entriesChanged, this, [this] { sync(); });
    sync();
}

QWidget* PresetPicker::neighbour(QWidget* from, int key) const {
    // The grid: cards two by two, the custom card as the last row across both columns.
    int index = -1;
    for (std::size_t i = 0; i < cards_.size(); ++i)
        if (cards_[i] == from) index = int(i);
    const int last = int(cards_.size()); // the custom card
    if (from == custom_) index = last;
    if (index < 0) return nullptr;
    int next = index;
    switch (key) {
    case Qt::Key_Left:
        if (index < last && index % 2 == 1) next = index - 1;
        break;
    case Qt::Key_Right:
        if (index < last && index % 2 == 0) next = index + 1;
        break;
    case Qt::Key_Up:
        next = index == last ? last - 2 : (index >= 2 ? index - 2 : index);
        break;
    case Qt::Key_Down:
        next = index == last ? last : std::min(last, index + 2);
        break;
    default:
        return nullptr;
    }
    return next == last ? custom_ : static_cast<QWidget*>(cards_[std::size_t(next)]);
}

bool PresetPicker::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (QWidget* next = neighbour(qobject_cast<QWidget*>(watched), key->key())) {
            next->setFocus(Qt::TabFocusReason);
            return true;
        }
    }
    return Popover::eventFilter(watched, event);
}

void PresetPicker::commitWidth(const QString& text) {
    const Entry* entry = model_.windows().entry(entryID_);
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    if (!entry || !entry->preset.isCustom() || !ok) return showStored();
    const Preset next = CustomSize::withWidth(value, entry->preset.height);
    if (next != entry->preset) model_.setPreset(entryID_, next);
    showStored();
}

void PresetPicker::commitHeight(const QString& text) {
    const Entry* entry = model_.windows().entry(entryID_);
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    if (!entry || !entry->preset.isCustom() || !ok) return showStored();
    const Preset next = CustomSize::withHeight(entry->preset.width, value);
    if (next != entry->preset) model_.setPreset(entryID_, next);
    showStored();
}

void PresetPicker::showStored() {
    sync();
    if (const Entry* entry = model_.windows().entry(entryID_); entry && entry->preset.isCustom()) {
        widthField_->setText(QString::number(entry->preset.width));
        heightField_->setText(QString::number(entry->preset.height));
    }
}

void PresetPicker::sync() {
    const Entry* entry = model_.windows().entry(entryID_);
    if (!entry) {
        // The entry was removed while the picker was open.
        if (isVisible()) hide();
        return;
    }
    const Preset& preset = entry->preset;
    for (PresetCard* card : cards_)
        card->setSelected(!preset.isCustom() && card->info().preset.width == preset.width &&
                          card->info().preset.height == preset.height);
    const bool custom = preset.isCustom();
    static_cast<CustomCard*>(custom_)->setSelected(custom);
    const Preset shown = custom ? preset : CustomSize::initial();
    customIcon_->setAspect(qreal(shown.width), qreal(shown.height));
    customIcon_->setTint([custom] { return iconTint(custom); });
    customFields_->setVisible(custom);
    // A field being typed in keeps its text until the edit is committed.
    if (custom && !widthField_->hasFocus()) widthField_->setText(QString::number(preset.width));
    if (custom && !heightField_->hasFocus()) heightField_->setText(QString::number(preset.height));
    applyAll_->setEnabled(model_.windows().entries().size() >= 2);
    adjustSize();
}

} // namespace lc::ui
