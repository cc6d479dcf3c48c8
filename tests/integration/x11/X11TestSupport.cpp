#include "X11TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <csignal>

namespace lc::test {

PrivateDisplay::PrivateDisplay(QStringList options) {
    previous_ = qEnvironmentVariable("DISPLAY");
    const QString script = qEnvironmentVariable("LC_SOURCE_DIR") + "/scripts/test-env";
    QProcess p;
    p.start(script, QStringList{"start", dir_.path()} + options);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        error_ = QString::fromUtf8(p.readAllStandardError());
        return;
    }
    QFile env(dir_.path() + "/env");
    if (!env.open(QIODevice::ReadOnly)) return;
    const auto m = QRegularExpression("export DISPLAY=(\\S+)").match(QString::fromUtf8(env.readAll()));
    if (!m.hasMatch()) return;
    display_ = m.captured(1);
    qputenv("DISPLAY", display_.toUtf8());
}

void PrivateDisplay::stop() {
    if (stopped_) return;
    stopped_ = true;
    QProcess p;
    p.start(qEnvironmentVariable("LC_SOURCE_DIR") + "/scripts/test-env", {"stop", dir_.path()});
    p.waitForFinished(30000);
}

PrivateDisplay::~PrivateDisplay() {
    stop();
    qputenv("DISPLAY", previous_.toUtf8());
}

TestWindow::TestWindow(const QStringList& args) {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(toolPath("test-window"), args);
    if (!process_.waitForStarted(5000)) return;
    QByteArray out;
    const bool got = waitUntil(
        [&] {
            process_.waitForReadyRead(20);
            out += process_.readAllStandardOutput();
            return out.contains('\n') || process_.state() != QProcess::Running;
        },
        std::chrono::seconds(20));
    if (got) id_ = out.left(out.indexOf('\n')).trimmed().toUInt();
    if (!id_)
        ADD_FAILURE() << "test-window " << args.join(' ').left(80).toStdString() << " did not come up on "
                      << qgetenv("DISPLAY").toStdString() << " (state " << int(process_.state()) << ", exit "
                      << process_.exitCode() << ")";
}

void TestWindow::terminate() {
    if (process_.state() == QProcess::NotRunning) return;
    ::kill(pid_t(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

TestWindow::~TestWindow() {
    terminate();
}

QString x(const QString& program, const QStringList& args) {
    return run(program, args);
}

int typeKeys(const QString& keys) {
    return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), keys});
}

std::optional<Geometry> clientGeometry(std::uint32_t window) {
    const QString out = run("xwininfo", {"-id", QString::number(window)});
    auto field = [&](const char* name) -> std::optional<int> {
        const auto m = QRegularExpression(QString(name) + ":\\s+(-?\\d+)").match(out);
        if (!m.hasMatch()) return std::nullopt;
        return m.captured(1).toInt();
    };
    const auto x = field("Absolute upper-left X"), y = field("Absolute upper-left Y");
    const auto w = field("Width"), h = field("Height");
    if (!x || !y || !w || !h) return std::nullopt;
    return Geometry{*x, *y, *w, *h};
}

QProcessEnvironment homeEnvironment(const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QDir(home).filePath(QStringLiteral(".config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), QDir(home).filePath(QStringLiteral(".local/share")));
    return env;
}

bool startTray(QProcess& tray) {
    tray.start(QStringLiteral("trayer"),
               {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--widthtype"),
                QStringLiteral("pixel"), QStringLiteral("--width"), QStringLiteral("100"),
                QStringLiteral("--height"), QStringLiteral("24")});
    if (!tray.waitForStarted()) return false;
    return waitUntil(
        [] {
            return run(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")})
                .contains(QStringLiteral("\"panel\""));
        },
        std::chrono::seconds(30));
}

void endProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
    }
}

} // namespace lc::test
