#include "app/update/UpdateControls.h"

#include "app/update/UpdateManager.h"

#include <QAction>
#include <QApplication>
#include <QPalette>

namespace lc::update {

UpdatePill::UpdatePill(UpdateManager& manager, QWidget* parent)
    : QPushButton(QStringLiteral("Update available"), parent) {
    setObjectName(QStringLiteral("updatePill"));
    setFlat(true);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setToolTip(QStringLiteral("A new version of Loomcast is ready. Click to see what's new."));
    QFont f = font();
    f.setPixelSize(11);
    f.setWeight(QFont::DemiBold);
    setFont(f);
    restyle();
    setVisible(manager.pillVisible());
    connect(&manager, &UpdateManager::pillVisibleChanged, this, &QWidget::setVisible);
    connect(this, &QPushButton::clicked, &manager, &UpdateManager::checkForUpdates);
}

void UpdatePill::restyle() {
    // The link colour is the accent made legible as text on the window; the fill its light tint.
    const QColor accent = QApplication::palette().color(QPalette::Active, QPalette::Link);
    QColor fill = accent;
    fill.setAlphaF(0.14f);
    const QString sheet = QStringLiteral("QPushButton#updatePill { color: %1; background: %2; border: none;"
                                         " padding: 3px 8px; border-radius: 9px; }")
                              .arg(accent.name(QColor::HexRgb), fill.name(QColor::HexArgb));
    if (sheet != styleSheet()) setStyleSheet(sheet);
}

QAction* makeCheckForUpdatesAction(UpdateManager& manager, QObject* parent) {
    auto* action = new QAction(QStringLiteral("Check for Updates…"), parent);
    action->setObjectName(QStringLiteral("checkForUpdates"));
    action->setMenuRole(QAction::ApplicationSpecificRole);
    action->setEnabled(manager.canCheckNow());
    QObject::connect(&manager, &UpdateManager::canCheckNowChanged, action, &QAction::setEnabled);
    QObject::connect(action, &QAction::triggered, &manager, [&manager] { manager.checkForUpdates(); });
    return action;
}

void bindCheckForUpdatesButton(QAbstractButton* button, UpdateManager& manager) {
    button->setEnabled(manager.canCheckNow());
    QObject::connect(&manager, &UpdateManager::canCheckNowChanged, button, &QWidget::setEnabled);
    QObject::connect(button, &QAbstractButton::clicked, &manager, [&manager] { manager.checkForUpdates(); });
}

void bindAutoInstallToggle(QAbstractButton* toggle, UpdateManager& manager) {
    toggle->setCheckable(true);
    toggle->setChecked(manager.autoInstall());
    QObject::connect(&manager, &UpdateManager::autoInstallChanged, toggle, &QAbstractButton::setChecked);
    QObject::connect(toggle, &QAbstractButton::toggled, &manager,
                     [&manager](bool on) { manager.setAutoInstall(on); });
}

} // namespace lc::update
