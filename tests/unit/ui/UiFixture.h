#pragma once
// A real model on the model's service fakes, with the user interface built on it.
#include "Fakes.h"
#include "TestSupport.h"

#include "export/ExportController.h"

#include "model/Store.h"
#include "ui/MainWindow.h"
#include "ui/Theme.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

namespace lc::test {

class UiFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(state.isValid() && movies.isValid());
        Store::setBaseDirOverride(state.path());
        root = QDir(movies.path()).filePath("Loomcast");
        ui::Theme::apply(ui::Appearance::light);
    }
    void TearDown() override {
        window.reset();
        exporter.reset();
        model.reset();
        Store::setBaseDirOverride(std::nullopt);
    }

    AppModel& make() {
        AppServices s = fake::services(desktop, audio, actions, root);
        s.shortcuts = keys;
        s.makeRecorder = [this]() -> std::shared_ptr<SessionRecorder> {
            return std::make_shared<fake::Recorder>(model.get(), &plans);
        };
        model = std::make_unique<AppModel>(std::move(s));
        // The sound server's first answers (authorization, devices) come from another thread.
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 5000 &&
               (model->mic().micAuth() == MicAuthorization::notDetermined ||
                (audio->auth == MicAuthorization::authorized && model->mic().micDevices().empty())))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        model->settings().setEphemeral(true);
        exporter = std::make_unique<ExportController>();
        return *model;
    }

    ui::MainWindow& makeWindow() {
        if (!model) make();
        window = std::make_unique<ui::MainWindow>(*model, *exporter, nullptr);
        return *window;
    }

    // The window's popovers and settings page.
    ui::ViewState& view() { return window->viewState(); }

    template <class T> T run(QCoro::Task<T> task) { return QCoro::waitFor(std::move(task)); }
    void run(QCoro::Task<> task) { QCoro::waitFor(std::move(task)); }

    // Windows in the catalogue, optionally added as entries.
    void offer(std::vector<ShareableWindow> windows, int add = 0) {
        desktop->setWindows(std::move(windows));
        run(model->windows().refresh(false));
        for (int i = 0; i < add; ++i)
            model->add(model->windows().pickerWindows().front());
    }

    void settle() { QCoreApplication::processEvents(); }

    QTemporaryDir state, movies;
    QString root;
    std::shared_ptr<fake::Desktop> desktop = std::make_shared<fake::Desktop>();
    std::shared_ptr<fake::Audio> audio = std::make_shared<fake::Audio>();
    std::shared_ptr<fake::Actions> actions = std::make_shared<fake::Actions>();
    std::shared_ptr<fake::Shortcuts> keys = std::make_shared<fake::Shortcuts>();
    std::map<std::uint32_t, fake::RecorderPlan> plans;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<ExportController> exporter;
    std::unique_ptr<ui::MainWindow> window;
};

// The mean difference of two pictures of the same size, per pixel summed over red, green, blue.
inline double meanDifference(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
            sum +=
                std::abs(p.red() - q.red()) + std::abs(p.green() - q.green()) + std::abs(p.blue() - q.blue());
        }
    return sum / (a.width() * a.height());
}

} // namespace lc::test
