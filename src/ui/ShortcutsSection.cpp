#include "ui/ShortcutsSection.h"

#include "model/app/AppModel.h"
#include "ui/Widgets.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace lc::ui {

namespace {

const QString kListening = QStringLiteral("Press the new combination\u2026");

std::optional<std::string> keyName(int key) {
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return std::string(1, char('A' + (key - Qt::Key_A)));
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return std::string(1, char('0' + (key - Qt::Key_0)));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return "F" + std::to_string(1 + key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Space:
        return "Space";
    case Qt::Key_Print:
        return "Print";
    case Qt::Key_Pause:
        return "Pause";
    case Qt::Key_Insert:
        return "Insert";
    case Qt::Key_Delete:
        return "Delete";
    case Qt::Key_Home:
        return "Home";
    case Qt::Key_End:
        return "End";
    case Qt::Key_PageUp:
        return "PageUp";
    case Qt::Key_PageDown:
        return "PageDown";
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<Shortcut> shortcutFromKeyPress(int qtKey, Qt::KeyboardModifiers modifiers) {
    const std::optional<std::string> key = keyName(qtKey);
    if (!key) return std::nullopt;
    Shortcut combo;
    combo.key = *key;
    if (modifiers & Qt::ControlModifier) combo.modifiers |= Shortcut::ctrl;
    if (modifiers & Qt::AltModifier) combo.modifiers |= Shortcut::alt;
    if (modifiers & Qt::ShiftModifier) combo.modifiers |= Shortcut::shift;
    if (modifiers & Qt::MetaModifier) combo.modifiers |= Shortcut::super;
    return combo;
}

ShortcutsSection::ShortcutsSection(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("shortcuts"));
    // It takes the focus while it listens for a combination.
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("Global shortcuts"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 8, 12, 8);
    column->setSpacing(6);
    for (const ShortcutAction action : {ShortcutAction::startStop, ShortcutAction::pauseResume}) {
        Row& r = action == ShortcutAction::startStop ? startStop_ : pauseResume_;
        auto* line = new QHBoxLayout;
        line->setSpacing(8);
        line->addWidget(makeLabel(shortcutActionName(action), 13, Tone::primary, QFont::Normal, this));
        line->addStretch(1);
        r.combo = makeLabel(QString(), 13, Tone::secondary, QFont::DemiBold, this);
        line->addWidget(r.combo);
        auto* change = new QPushButton(QStringLiteral("Change"), this);
        change->setAccessibleName(shortcutActionName(action) + QStringLiteral(": change"));
        change->setAutoDefault(false);
        r.change = change;
        line->addWidget(change);
        auto* clear = new QPushButton(QStringLiteral("Clear"), this);
        clear->setAccessibleName(shortcutActionName(action) + QStringLiteral(": clear"));
        clear->setAutoDefault(false);
        r.clear = clear;
        line->addWidget(clear);
        column->addLayout(line);
        r.error = makeLabel(QString(), 11, Tone::red, QFont::Normal, this);
        r.error->setWordWrap(true);
        column->addWidget(r.error);

        connect(change, &QAbstractButton::clicked, this,
                [this, action] { listen(listening_ == action ? std::nullopt : std::optional(action)); });
        connect(clear, &QAbstractButton::clicked, this, [this, action] {
            listen(std::nullopt);
            set(action, QString());
        });
    }
    connect(&model_.shortcuts(), &ShortcutKeys::errorsChanged, this, &ShortcutsSection::sync);
    connect(&model_.settings(), &Settings::shortcutsChanged, this, &ShortcutsSection::sync);
    sync();
}

ShortcutsSection::~ShortcutsSection() {
    if (listening_) model_.shortcuts().setSuspended(false);
}

const ShortcutsSection::Row& ShortcutsSection::row(ShortcutAction action) const {
    return action == ShortcutAction::startStop ? startStop_ : pauseResume_;
}

QLabel* ShortcutsSection::comboLabel(ShortcutAction action) const {
    return row(action).combo;
}
QLabel* ShortcutsSection::errorLabel(ShortcutAction action) const {
    return row(action).error;
}
QAbstractButton* ShortcutsSection::changeButton(ShortcutAction action) const {
    return row(action).change;
}
QAbstractButton* ShortcutsSection::clearButton(ShortcutAction action) const {
    return row(action).clear;
}

void ShortcutsSection::listen(std::optional<ShortcutAction> action) {
    listening_ = action;
    refusal_.reset();
    // The combinations held now would reach the grab, not this widget.
    model_.shortcuts().setSuspended(action.has_value());
    if (action) setFocus(Qt::OtherFocusReason);
    sync();
}

void ShortcutsSection::set(ShortcutAction action, const QString& text) {
    if (action == ShortcutAction::startStop) {
        model_.settings().setShortcutStartStop(text);
    } else {
        model_.settings().setShortcutPauseResume(text);
    }
    sync();
}

void ShortcutsSection::keyPressEvent(QKeyEvent* event) {
    if (!listening_) return QWidget::keyPressEvent(event);
    event->accept();
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) return listen(std::nullopt);
    const std::optional<Shortcut> pressed = shortcutFromKeyPress(event->key(), event->modifiers());
    if (!pressed) return; // a modifier on its own: the combination is not complete yet
    const std::string text = pressed->text();
    if (!Shortcut::parse(text)) {
        refusal_ = QString::fromStdString(text) + QStringLiteral(" needs Ctrl, Alt or Super");
        return sync();
    }
    const ShortcutAction action = *listening_;
    listening_.reset();
    model_.shortcuts().setSuspended(false);
    set(action, QString::fromStdString(text));
}

void ShortcutsSection::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    // A click elsewhere ends listening, but the change button's own click decides for itself.
    if (listening_ && event->reason() != Qt::PopupFocusReason && !row(*listening_).change->hasFocus())
        listen(std::nullopt);
}

void ShortcutsSection::sync() {
    const ShortcutKeys& keys = model_.shortcuts();
    for (const ShortcutAction action : {ShortcutAction::startStop, ShortcutAction::pauseResume}) {
        const Row& r = row(action);
        const bool listening = listening_ == action;
        const QString text = keys.text(action);
        r.combo->setText(listening ? kListening : text.isEmpty() ? QStringLiteral("Off") : text);
        r.change->setText(listening ? QStringLiteral("Cancel") : QStringLiteral("Change"));
        r.clear->setEnabled(!text.isEmpty());
        std::optional<QString> error = listening ? refusal_ : keys.error(action);
        r.error->setText(error.value_or(QString()));
        r.error->setVisible(error.has_value());
    }
}

} // namespace lc::ui
