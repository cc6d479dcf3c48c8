#include "app/autostart/LoginItem.h"
#include "app/cli/CommandLine.h"
#include "app/cli/RecoverMode.h"
#include "app/cli/SelfTests.h"
#include "app/cli/Termination.h"
#include "app/update/UpdateManager.h"
#include "capture/WindowRecorder.h"
#include "common/Clock.h"
#include "common/Detached.h"
#include "export/ExportController.h"
#include "export/ExportMode.h"
#include "model/app/AppModel.h"
#include "model/app/Console.h"
#include "platform/Audio.h"
#include "platform/MovieFinisher.h"
#include "platform/MovieWriter.h"
#include "platform/dbus/DBusNotifier.h"
#include "platform/dbus/PortalAppearance.h"
#include "platform/dbus/SystemDesktopActions.h"
#include "platform/media/reader/FfmpegMediaReader.h"
#include "platform/x11/X11Desktop.h"
#include "platform/x11/X11GlobalShortcuts.h"
#include "ui/Shell.h"
#include "ui/Snapshot.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace {

QStringList argumentList(int argc, char** argv) {
    QStringList out;
    for (int i = 0; i < argc; ++i)
        out << QString::fromLocal8Bit(argv[i]);
    return out;
}

bool isSelfTestMode(const QStringList& args) {
    using lc::cli::has;
    return has(args, QStringLiteral("--selftest-record")) || has(args, QStringLiteral("--selftest-multi")) ||
           lc::cli::value(args, QStringLiteral("--snapshot")).has_value();
}

// Recovery finishes files with the FFmpeg back end and measures plain ones with its reader.
lc::RecoveryMedia recoveryMedia() {
    return lc::RecoveryMedia{
        .finish = [](const std::string& path) { return lc::finishFragmentedFile(path); },
        .length = [](const std::string& path) -> lc::Result<double> {
            auto info = lc::ffmpegMediaReader()->probe(path);
            if (!info) return info.error();
            if (info->video) return info->video->end().seconds();
            if (info->audio) return info->audio->end().seconds();
            return lc::makeError("holds no media");
        },
    };
}

// Runs a command-line mode to its exit code, then ends the event loop with it.
QCoro::Task<> runMode(QCoro::Task<int> mode) {
    int code = 1;
    try {
        code = co_await std::move(mode);
    } catch (...) {
        lc::printLine(QStringLiteral("FAIL: internal error: ") + lc::currentExceptionMessage());
    }
    lc::cli::exitWith(code);
}

} // namespace

int main(int argc, char** argv) {
    const QStringList args = argumentList(argc, argv);
    const lc::ExportBackends exportBackends{&lc::createMovieWriter, lc::ffmpegMediaReader()};

    // The permission probe answers before anything else exists.
    if (lc::cli::has(args, QStringLiteral("--selftest"))) {
        auto desktop = lc::x11::X11Desktop::connect();
        lc::ScreenCapture* capture = desktop ? desktop->get() : nullptr;
        lc::WindowControl* control = desktop ? desktop->get() : nullptr;
        lc::printLine(lc::cli::selftestLine(capture, control));
        return 0;
    }

    // The headless export needs no display.
    if (const auto folder = lc::exportFolderArgument(args)) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName("Loomcast");
        lc::cli::recoverBeforeExport(*folder, recoveryMedia());
        return lc::runExportMode(*folder, exportBackends);
    }

    // Recovering unfinished sessions needs no display either.
    if (const auto recover = lc::cli::recoverArgument(args)) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName("Loomcast");
        return lc::cli::runRecoverMode(*recover, lc::sessionsRootDefault(), recoveryMedia());
    }

    auto desktop = lc::x11::X11Desktop::connect();
    if (!desktop) {
        std::fprintf(stderr, "Loomcast needs an X11 display: %s\n", desktop.error().message.c_str());
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("Loomcast");
    QApplication::setApplicationVersion(LOOMCAST_VERSION);
    // Closing the main window leaves the application running in the tray.
    QApplication::setQuitOnLastWindowClosed(false);

    // The Linux back ends, chosen here and nowhere else: X11 for the windows, their capture and
    // their control, the sound server for the microphone and application audio, FFmpeg for files.
    std::shared_ptr<lc::x11::X11Desktop> x11 = desktop.value();
    const std::shared_ptr<lc::AudioSystem> audio = lc::systemAudio();
    const lc::MovieWriterFactory writers = lc::createMovieWriter;

    lc::WindowRecorder::Services recording;
    recording.capture = x11.get(); // x11 outlives the model and so every recorder
    recording.audio = audio;
    recording.makeWriter = [writers](const std::string& path, lc::MovieFileType type) {
        return writers(path, type, lc::MovieWriterOptions{});
    };
    recording.clock = [] { return lc::uptime(); };

    lc::AppServices services;
    services.capture = x11;
    services.server = x11;
    services.control = x11;
    services.audio = audio;
    services.makeWriter = writers;
    services.desktop = lc::dbus::systemDesktopActions();
    services.makeRecorder = lc::windowRecorderFactory(std::move(recording));
    // Without its own connection the application runs on, only without shortcuts.
    if (auto keys = lc::x11::X11GlobalShortcuts::connect()) {
        services.shortcuts = std::shared_ptr<lc::GlobalShortcuts>(std::move(keys.value()));
    } else {
        std::fprintf(stderr, "Global shortcuts are off: %s\n", keys.error().message.c_str());
    }
    services.self = lc::Catalogue::Self{QStringLiteral("Loomcast"), std::int32_t(::getpid())};
    services.ephemeral = isSelfTestMode(args);
    // The desktop's notifications, except for the unattended modes.
    if (!services.ephemeral) services.notifier = std::make_shared<lc::dbus::DBusNotifier>();
    lc::AppModel model(std::move(services));
    model.exporter().setBackends(exportBackends);
    model.session().setPrintStopDebug(lc::cli::has(args, QStringLiteral("--selftest-multi")));

    lc::cli::SignalRelay relay([&model](int signal) { lc::cli::terminate(&model, 128 + signal); });

    // The main window and the tray item; quitting takes the orderly road. Their look follows the
    // desktop's settings portal, except in the unattended modes (the snapshot's "--appearance"
    // chooses one there).
    std::shared_ptr<lc::DesktopAppearance> look;
    if (!isSelfTestMode(args)) look = std::make_shared<lc::dbus::PortalAppearance>();
    lc::ui::Shell shell(
        model, model.exporter(), &lc::update::UpdateManager::shared(),
        [&model] { lc::cli::terminate(&model, 0); }, look);
    // Started at login: to the tray. The setting follows the login entry, which it writes.
    if (!model.settings().ephemeral()) lc::followStartAtLogin(model, lc::LoginItem::forThisUser());
    shell.start(lc::cli::has(args, QString::fromLatin1(lc::kBackgroundOption)));

    // Updates never interrupt a recording or an export; the command-line modes run without them.
    auto& updates = lc::update::UpdateManager::shared();
    updates.setBusyTest(
        [&model] { return model.session().isRecording() || model.exporter().state().isRunning(); });
    QObject::connect(&model.session(), &lc::SessionController::isRecordingChanged, &updates,
                     [&updates] { updates.busyChanged(); });
    QObject::connect(&model.exporter(), &lc::ExportController::stateChanged, &updates,
                     [&updates] { updates.busyChanged(); });
    updates.start(args);

    // Sessions a crash or a power cut left unfinished are completed off the main thread; the
    // main window then says so. Before any session of this run can start, one at a time.
    lc::cli::recoverAtLaunchInBackground(model, recoveryMedia());

    // The command-line modes start once the event loop runs.
    QTimer::singleShot(0, &model, [&model, &shell, args] {
        // The snapshot probe excludes every other mode; the plain snapshot does not.
        if (lc::ui::startSnapshotMode(model, shell, args, [](int code) { lc::cli::exitWith(code); })) return;
        if (lc::cli::has(args, QStringLiteral("--selftest-multi"))) {
            runMode(lc::cli::selfTestMulti(&model, args));
        } else if (lc::cli::has(args, QStringLiteral("--selftest-record"))) {
            runMode(lc::cli::selfTestRecord(&model, args, {lc::ui::snapshotMainWindow}));
        }
    });

    const int code = app.exec();
    // However the loop ended, no session is left running and no file unfinished.
    if (model.session().isRecording() || model.session().busy()) {
        QCoro::waitFor(model.shutdown());
    } else {
        model.persist();
    }
    // A downloaded, verified update is installed once the files are safe.
    updates.installOnQuit();
    return code;
}
