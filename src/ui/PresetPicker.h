#pragma once
// The size popover of one chosen window: a card per built-in size, a custom size, and
// "Apply to all selected".
#include "model/Preset.h"
#include "ui/Widgets.h"

#include <QAbstractButton>
#include <QUuid>
#include <array>

class QLineEdit;
class QGridLayout;

namespace lc {
class AppModel;
}

namespace lc::ui {

struct PresetCardInfo {
    Preset preset;
    QString ratio;
    QString shape;
    QString sub;
};

// One built-in size: its shape, aspect ratio, shape word and usage line.
class PresetCard : public QAbstractButton {
    Q_OBJECT
public:
    // The cards in the order the picker shows them.
    static const std::array<PresetCardInfo, 6>& table();
    // The text of an entry's size chip: "Custom · W×H", a card's "ratio · sub" for a card's size,
    // else the preset's label.
    static QString chip(const Preset& preset);

    explicit PresetCard(const PresetCardInfo& info, QWidget* parent = nullptr);
    const PresetCardInfo& info() const { return info_; }
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override { update(); }
    void leaveEvent(QEvent*) override { update(); }

private:
    PresetCardInfo info_;
    bool selected_ = false;
};

// Custom sizes are even and at least 64 in both directions; there is no upper limit.
namespace CustomSize {
inline constexpr qint64 kMinimum = 64;
qint64 clampSide(qint64 value);
// The preset after typing `width` into the W field while the height is `height`.
Preset withWidth(qint64 width, qint64 height);
Preset withHeight(qint64 width, qint64 height);
// The custom size a click on the custom card gives.
Preset initial();
} // namespace CustomSize

// The popover for one entry. It reads the entry from the model on every change and closes
// itself when the entry is gone.
class PresetPicker : public Popover {
    Q_OBJECT
public:
    PresetPicker(AppModel& model, QUuid entryID, QWidget* parent = nullptr);
    QUuid entryID() const { return entryID_; }

    // For tests and the snapshot mode.
    QAbstractButton* applyToAllButton() const { return applyAll_; }
    QAbstractButton* customCard() const { return custom_; }
    QLineEdit* widthField() const { return widthField_; }
    QLineEdit* heightField() const { return heightField_; }
    const std::array<PresetCard*, 6>& cards() const { return cards_; }
    // Commits the text of a size field as the user's edit would.
    void commitWidth(const QString& text);
    void commitHeight(const QString& text);

    // The card an arrow key moves the focus to from `from`; null for other keys and widgets.
    QWidget* neighbour(QWidget* from, int key) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void sync();
    void showStored();
    AppModel& model_;
    QUuid entryID_;
    std::array<PresetCard*, 6> cards_{};
    QAbstractButton* custom_ = nullptr;
    AspectIcon* customIcon_ = nullptr;
    QWidget* customFields_ = nullptr;
    QLineEdit* widthField_ = nullptr;
    QLineEdit* heightField_ = nullptr;
    QAbstractButton* applyAll_ = nullptr;
};

} // namespace lc::ui
