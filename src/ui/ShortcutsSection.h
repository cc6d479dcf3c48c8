#pragma once
// The rows of the global shortcuts in the settings: for each action its combination, a button
// that listens for the next combination pressed, a button that clears it, and the reason when the
// combination is not in force ("Ctrl+Alt+R is used by another program"). Self-contained: it reads
// and writes the settings and the model's shortcut keys only. Main thread.
#include "platform/GlobalShortcuts.h"
#include "platform/Shortcut.h"

#include <QWidget>
#include <optional>

class QAbstractButton;
class QLabel;

namespace lc {
class AppModel;
}

namespace lc::ui {

// The combination a key press makes; absent for a lone modifier or a key no combination uses.
// It may still be one the settings refuse (a letter without Ctrl, Alt or Super).
std::optional<Shortcut> shortcutFromKeyPress(int qtKey, Qt::KeyboardModifiers modifiers);

class ShortcutsSection : public QWidget {
    Q_OBJECT
public:
    ShortcutsSection(AppModel& model, QWidget* parent = nullptr);
    ~ShortcutsSection() override;

    // For tests and the settings' own layout.
    QLabel* comboLabel(ShortcutAction action) const;
    QLabel* errorLabel(ShortcutAction action) const;
    QAbstractButton* changeButton(ShortcutAction action) const;
    QAbstractButton* clearButton(ShortcutAction action) const;
    // The action whose new combination is being listened for.
    std::optional<ShortcutAction> listening() const { return listening_; }

    // Starts or ends listening for `action`'s combination (the change button does this).
    void listen(std::optional<ShortcutAction> action);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    struct Row {
        QLabel* combo = nullptr;
        QLabel* error = nullptr;
        QAbstractButton* change = nullptr;
        QAbstractButton* clear = nullptr;
    };
    const Row& row(ShortcutAction action) const;
    void set(ShortcutAction action, const QString& text);
    void sync();

    AppModel& model_;
    Row startStop_, pauseResume_;
    std::optional<ShortcutAction> listening_;
    std::optional<QString> refusal_; // why the last combination pressed was not taken
};

} // namespace lc::ui
