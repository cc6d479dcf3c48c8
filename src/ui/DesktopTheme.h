#pragma once
// Keeps the theme in step with the desktop while the application runs: the scheme and accent
// colour the desktop says (through `DesktopAppearance`), else the look of the desktop's own
// palette, re-read when the desktop changes its theme or palette. A chosen appearance
// (Theme::apply) still wins over the desktop's scheme.
#include "platform/DesktopAppearance.h"

#include <QObject>
#include <memory>

namespace lc::ui {

class DesktopTheme : public QObject {
    Q_OBJECT
public:
    // `desktop` may be null: the desktop's palette alone decides.
    explicit DesktopTheme(std::shared_ptr<DesktopAppearance> desktop, QObject* parent = nullptr);
    ~DesktopTheme() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Applies what the desktop says now.
    void follow();
    // Many objects hear of one desktop change: one follow() after them.
    void followSoon();

    std::shared_ptr<DesktopAppearance> desktop_;
    bool scheduled_ = false;
};

} // namespace lc::ui
