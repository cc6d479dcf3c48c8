#pragma once
// Display names of applications from their .desktop files (XDG_DATA_HOME and XDG_DATA_DIRS).
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lc::x11 {

class DesktopEntries {
public:
    // Reads the applications folders under each data folder (the XDG folders when empty).
    explicit DesktopEntries(std::vector<std::string> dataDirs = {});

    // The Name of the entry whose file id is `appId`, else of the one whose StartupWMClass or
    // file id is `wmClass` (case-insensitive).
    std::optional<std::string> nameFor(const std::string& appId, const std::string& wmClass);

    static std::vector<std::string> xdgDataDirs();

private:
    void load();

    std::vector<std::string> dirs_;
    bool loaded_ = false;
    std::mutex mutex_;
    std::map<std::string, std::string> byFileId_;  // lower-cased file id without ".desktop"
    std::map<std::string, std::string> byWmClass_; // lower-cased StartupWMClass
};

} // namespace lc::x11
