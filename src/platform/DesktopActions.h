#pragma once
// Asking the desktop to show things: a folder in the file manager, a settings page. Main thread;
// every call returns at once.
#include <QString>
#include <memory>

namespace lc {

class DesktopActions {
public:
    virtual ~DesktopActions() = default;
    // Shows the folder in the file manager (FileManager1 over D-Bus, else xdg-open).
    virtual void openFolder(const QString& path) = 0;
    // Shows the file (or folder) selected in its folder (FileManager1, else the folder opened).
    virtual void revealFile(const QString& path) = 0;
    // Opens the settings page named by a permission anchor ("Privacy_Microphone": the desktop's
    // sound settings). False when this desktop has no such page.
    virtual bool openSettings(const QString& anchor) = 0;
    // Whether openSettings(anchor) has something to open.
    virtual bool hasSettings(const QString& anchor) = 0;
};

} // namespace lc
