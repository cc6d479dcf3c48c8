#include "platform/x11/DesktopEntries.h"

#include "platform/x11/Text.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace lc::x11 {
namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

} // namespace

DesktopEntries::DesktopEntries(std::vector<std::string> dataDirs)
    : dirs_(dataDirs.empty() ? xdgDataDirs() : std::move(dataDirs)) {}

std::vector<std::string> DesktopEntries::xdgDataDirs() {
    std::vector<std::string> dirs;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home && *home)
        dirs.emplace_back(home);
    else if (const char* h = std::getenv("HOME"); h && *h)
        dirs.push_back(std::string(h) + "/.local/share");
    std::string list = "/usr/local/share:/usr/share";
    if (const char* d = std::getenv("XDG_DATA_DIRS"); d && *d) list = d;
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto end = std::min(list.find(':', start), list.size());
        if (end > start) dirs.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return dirs;
}

void DesktopEntries::load() {
    namespace fs = std::filesystem;
    // Earlier folders win, so walk them in order and keep the first entry for each key.
    for (const auto& dir : dirs_) {
        const fs::path apps = fs::path(dir) / "applications";
        std::error_code ec;
        fs::recursive_directory_iterator it(apps, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (!it->is_regular_file(ec) || it->path().extension() != ".desktop") continue;
            // The file id of applications/a/b.desktop is "a-b".
            std::string id = fs::relative(it->path(), apps, ec).replace_extension().string();
            std::replace(id.begin(), id.end(), '/', '-');
            std::ifstream in(it->path());
            std::string line, name, wmClass;
            bool inEntry = false;
            for (int n = 0; n < 400 && std::getline(in, line); ++n) {
                if (!line.empty() && line[0] == '[') {
                    if (inEntry) break;
                    inEntry = trim(line) == "[Desktop Entry]";
                    continue;
                }
                if (!inEntry) continue;
                const auto eq = line.find('=');
                if (eq == std::string::npos) continue;
                const std::string key = trim(line.substr(0, eq));
                if (key == "Name" && name.empty())
                    name = cleanText(trim(line.substr(eq + 1)), TextEncoding::utf8, 256);
                else if (key == "StartupWMClass")
                    wmClass = trim(line.substr(eq + 1));
            }
            if (name.empty()) continue;
            byFileId_.emplace(lower(id), name);
            if (!wmClass.empty()) byWmClass_.emplace(lower(wmClass), name);
        }
    }
}

std::optional<std::string> DesktopEntries::nameFor(const std::string& appId, const std::string& wmClass) {
    std::lock_guard lock(mutex_);
    if (!loaded_) {
        load();
        loaded_ = true;
    }
    if (!appId.empty()) {
        std::string id = lower(appId);
        if (id.size() > 8 && id.ends_with(".desktop")) id.resize(id.size() - 8);
        if (auto it = byFileId_.find(id); it != byFileId_.end()) return it->second;
    }
    if (!wmClass.empty()) {
        const std::string c = lower(wmClass);
        if (auto it = byWmClass_.find(c); it != byWmClass_.end()) return it->second;
        if (auto it = byFileId_.find(c); it != byFileId_.end()) return it->second;
    }
    return std::nullopt;
}

} // namespace lc::x11
