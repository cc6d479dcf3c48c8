#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace lc::test {

namespace {

bool writeText(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

// A mount namespace of the calling (single-threaded) process; a user namespace with it, where
// this user is root, when the process may not make one alone.
bool ownMountNamespace() {
    if (unshare(CLONE_NEWNS) == 0) return true;
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && writeText("/proc/self/setgroups", "deny") &&
           writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

} // namespace

int inSmallFilesystem(const std::string& dir, const char* mountOptions, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!ownMountNamespace() || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("lc-test", dir.c_str(), "tmpfs", 0, mountOptions) != 0)
            _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

SmallFilesystem::SmallFilesystem(const QString& dir, const QString& mountOptions) : dir_(dir) {
    mounted_ = QDir().mkpath(dir) && mount("lc-test", QFile::encodeName(dir).constData(), "tmpfs", 0,
                                           mountOptions.toUtf8().constData()) == 0;
}

SmallFilesystem::~SmallFilesystem() {
    // Lazily: a program that still holds a file in it must not keep the mount alive for good.
    if (mounted_) umount2(QFile::encodeName(dir_).constData(), MNT_DETACH);
}

qint64 SmallFilesystem::freeBytes() const {
    struct statvfs st {};
    if (statvfs(QFile::encodeName(dir_).constData(), &st) != 0) return -1;
    return qint64(st.f_bavail) * qint64(st.f_frsize);
}

bool SmallFilesystem::fillUpTo(const QString& file, qint64 keep) const {
    const int fd = ::open(QFile::encodeName(QDir(dir_).filePath(file)).constData(),
                          O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // In ever smaller pieces: the file system's own bookkeeping takes some of what it reports free.
    off_t end = lseek(fd, 0, SEEK_END);
    constexpr qint64 page = 4096;
    for (qint64 piece = 64 << 20; piece >= page; piece /= 2)
        while (freeBytes() - piece >= keep && posix_fallocate(fd, end, off_t(piece)) == 0)
            end += off_t(piece);
    ::close(fd);
    return freeBytes() - keep < page;
}

bool haveTestEnv() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") && !qEnvironmentVariableIsEmpty("PULSE_SERVER");
}

QString soundServerName() {
    return haveTestEnv() ? qEnvironmentVariable("LC_SOUND_SERVER") : QString();
}

namespace {

// Runs a sound command of scripts/test-env on this test's environment; its messages go to stderr.
bool soundCommand(const QString& command) {
    const QString script = qEnvironmentVariable("LC_TEST_ENV"), dir = qEnvironmentVariable("LC_TEST_ENV_DIR");
    if (script.isEmpty() || dir.isEmpty()) {
        std::fprintf(stderr, "test-env %s: not inside scripts/test-env\n", qPrintable(command));
        return false;
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(script, {command, dir});
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        std::fprintf(stderr, "test-env %s: did not finish in 60 s\n", qPrintable(command));
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

SoundServerOutage::SoundServerOutage() : active_(haveTestEnv() && soundCommand("sound-kill")) {}

SoundServerOutage::~SoundServerOutage() {
    if (active_) end();
}

bool SoundServerOutage::end() {
    if (!active_) return true;
    active_ = false;
    return soundCommand("sound-start");
}

QString hungSoundServer() {
    return haveTestEnv() ? qEnvironmentVariable("LC_HUNG_PULSE_SERVER") : QString();
}

QString run(const QString& program, const QStringList& args, int timeoutMs) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return QString::fromUtf8(p.readAllStandardOutput());
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    // A timeout is what a quiet machine needs; a loaded one may need far more, and waiting
    // longer costs nothing when the condition holds.
    const auto end = std::chrono::steady_clock::now() + std::max(timeout, kWaitFloor);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

StallMeter::StallMeter()
    : thread_([this] {
          auto before = std::chrono::steady_clock::now();
          while (!stop_) {
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
              const auto now = std::chrono::steady_clock::now();
              const double late = std::chrono::duration<double>(now - before).count() - 0.005;
              if (late > longest_) longest_ = late;
              before = now;
          }
      }) {}

StallMeter::~StallMeter() {
    stop_ = true;
    thread_.join();
}

QString toolPath(const QString& name) {
    // A tool built in a folder of its own name lands inside that folder.
    const QString path = QStringLiteral(LC_TOOLS_DIR "/") + name;
    return QFileInfo(path).isDir() ? path + "/" + name : path;
}

std::vector<QStringList> objectKeys(const QByteArray& json) {
    std::vector<QStringList> objects;
    std::vector<int> open; // index into objects, -1 for an array
    static const QRegularExpression key(QStringLiteral(R"re(^"([^"]+)"\s*:)re"));
    for (const QByteArray& raw : json.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        const auto m = key.match(line);
        if (m.hasMatch() && !open.empty() && open.back() >= 0) objects[size_t(open.back())] << m.captured(1);
        if (line.endsWith(u'{')) {
            open.push_back(int(objects.size()));
            objects.emplace_back();
        } else if (line.endsWith(u'[')) {
            open.push_back(-1);
        } else if ((line.startsWith(u'}') || line.startsWith(u']')) && !open.empty()) {
            open.pop_back();
        }
    }
    return objects;
}

} // namespace lc::test
