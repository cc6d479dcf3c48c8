#include "model/app/Console.h"

#include <QByteArray>
#include <cerrno>
#include <unistd.h>

namespace lc {

void printLine(const QString& line) {
    QByteArray bytes = line.toUtf8();
    bytes.append('\n');
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= n;
    }
}

} // namespace lc
