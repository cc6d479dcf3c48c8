#pragma once
// The updater's controls for the main window, the application menu and the settings window.
#include <QPushButton>

class QAbstractButton;
class QAction;

namespace lc::update {

class UpdateManager;

// "Update available": a small capsule shown only while an update waits and nothing is being
// recorded or exported; hidden it takes no room in a layout. Clicking runs the check action.
class UpdatePill : public QPushButton {
    Q_OBJECT
public:
    explicit UpdatePill(UpdateManager& manager, QWidget* parent = nullptr);
    // Takes the colours of the application palette now (the window calls it when its look
    // changes: a style sheet does not follow the palette by itself).
    void restyle();
};

// "Check for Updates…", enabled only when a check can start now (not while busy).
QAction* makeCheckForUpdatesAction(UpdateManager& manager, QObject* parent);

// The settings window's check button: the same action and the same enabled state.
void bindCheckForUpdatesButton(QAbstractButton* button, UpdateManager& manager);

// The settings window's "Install updates automatically when I quit" toggle.
void bindAutoInstallToggle(QAbstractButton* toggle, UpdateManager& manager);

} // namespace lc::update
