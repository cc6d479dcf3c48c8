#include "platform/pulse/ProcessTree.h"

#include <fstream>
#include <sstream>
#include <string>

namespace lc::pulse {

std::optional<int> parentProcess(int pid) {
    if (pid <= 0) return std::nullopt;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    // "pid (comm) state ppid …": comm may hold blanks and parentheses, so read after the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    int ppid = -1;
    if (!(rest >> state >> ppid) || ppid < 0) return std::nullopt;
    return ppid;
}

bool isSameOrDescendant(int pid, int ancestor) {
    if (pid <= 0 || ancestor <= 0) return false;
    // A bounded walk: a cycle cannot happen in /proc, but a racing pid reuse must not loop forever.
    for (int depth = 0; depth < 128 && pid > 0; ++depth) {
        if (pid == ancestor) return true;
        if (pid == 1) return false;
        const auto parent = parentProcess(pid);
        if (!parent) return false;
        pid = *parent;
    }
    return false;
}

} // namespace lc::pulse
