#pragma once
// The application's user interface as a whole: the main window "Loomcast", the tray item, and
// the snapshot modes that photograph them.
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>

namespace lc {
class AppModel;
class DesktopAppearance;
class ExportController;
namespace update {
class UpdateManager;
}
} // namespace lc

namespace lc::ui {

class DesktopTheme;
class MainWindow;
class TrayItem;

class Shell : public QObject {
    Q_OBJECT
public:
    // `quit` asks the application to terminate (stopping a running session first is the
    // caller's business). `updates` may be null. The look follows the desktop: what `desktop`
    // says (may be null), else its palette.
    Shell(AppModel& model, ExportController& exporter, update::UpdateManager* updates,
          std::function<void()> quit, std::shared_ptr<DesktopAppearance> desktop = nullptr,
          QObject* parent = nullptr);
    ~Shell() override;

    // Shows the window and puts the item in the tray; closing the window then leaves the
    // application running, unless there is no tray to come back through. In the background
    // (started at login) the window stays hidden behind the tray item, or is shown minimised
    // where there is no tray.
    void start(bool background = false);
    // "Show Loomcast": the window, in front and active.
    void showWindow();

    MainWindow& window() { return *window_; }
    TrayItem& tray() { return *tray_; }

private:
    std::unique_ptr<DesktopTheme> theme_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<TrayItem> tray_;
};

// Starts the snapshot mode "--snapshot" asks for, if any, on the shell's window; `exit` ends the
// process with a code when the mode is done. True when the probe runs: the caller then starts no
// other mode.
bool startSnapshotMode(AppModel& model, Shell& shell, const QStringList& arguments,
                       std::function<void(int)> exit);

} // namespace lc::ui
