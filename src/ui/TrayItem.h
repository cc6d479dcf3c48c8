#pragma once
// The tray item: its symbol shows whether a session runs, and its menu starts and stops
// recording, shows the window and quits.
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace lc {
class AppModel;
}

namespace lc::ui {

class TrayItem : public QObject {
    Q_OBJECT
public:
    // `showWindow` brings the main window forward; `quit` asks the application to end.
    TrayItem(AppModel& model, std::function<void()> showWindow, std::function<void()> quit,
             QObject* parent = nullptr);
    ~TrayItem() override;

    // Whether the desktop has a tray to put the item in.
    static bool available();
    // Puts the item in the tray (when there is one).
    void show();
    bool isVisible() const;

    QMenu* menu() const { return menu_.get(); }
    QAction* recordAction() const { return record_; }
    // "Pause recording" / "Resume recording"; shown only during a session.
    QAction* pauseAction() const { return pause_; }
    QAction* showAction() const { return show_; }
    QAction* quitAction() const { return quit_; }
    // The item's label: symbol name and the running time ("" while idle).
    QString symbol() const;
    QString timeText() const;
    // What the tray shows: the application's own icon while idle (it must not look disabled on
    // a light or a dark panel), a red record mark while recording, red pause bars while paused.
    QIcon icon() const;
    // The application's mark, drawn: a dark tile with a light ring and a red dot.
    static QIcon applicationMark();

private:
    void sync();
    AppModel& model_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* icon_ = nullptr;
    QAction* record_ = nullptr;
    QAction* pause_ = nullptr;
    QAction* show_ = nullptr;
    QAction* quit_ = nullptr;
    int shownState_ = -1; // idle 0, recording 1, paused 2; -1 before the first
};

} // namespace lc::ui
