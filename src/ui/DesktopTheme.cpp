#include "ui/DesktopTheme.h"

#include "ui/Theme.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>

namespace lc::ui {

DesktopTheme::DesktopTheme(std::shared_ptr<DesktopAppearance> desktop, QObject* parent)
    : QObject(parent), desktop_(std::move(desktop)) {
    if (desktop_)
        desktop_->setChangeHandler([self = QPointer<DesktopTheme>(this)] {
            if (self) self->follow();
        });
    QCoreApplication::instance()->installEventFilter(this);
    follow();
    Theme::followDesktop();
}

DesktopTheme::~DesktopTheme() {
    if (desktop_) desktop_->setChangeHandler({});
}

void DesktopTheme::follow() {
    std::optional<Appearance> scheme;
    std::optional<QColor> accent;
    if (desktop_) {
        const DesktopLook look = desktop_->current();
        if (look.scheme == DesktopLook::Scheme::dark) scheme = Appearance::dark;
        if (look.scheme == DesktopLook::Scheme::light) scheme = Appearance::light;
        if (look.accent)
            accent = QColor::fromRgbF(float(look.accent->red), float(look.accent->green),
                                      float(look.accent->blue));
    }
    Theme::setDesktop(scheme, accent);
}

void DesktopTheme::followSoon() {
    if (scheduled_) return;
    scheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        scheduled_ = false;
        follow();
    });
}

bool DesktopTheme::eventFilter(QObject* watched, QEvent* event) {
    // The desktop's theme (palette, icons) changed; the theme's own palette changes are not it.
    const bool desktopPalette = event->type() == QEvent::ApplicationPaletteChange &&
                                watched == QCoreApplication::instance() && !Theme::settingPalette();
    if (event->type() == QEvent::ThemeChange || desktopPalette) followSoon();
    return QObject::eventFilter(watched, event);
}

} // namespace lc::ui
