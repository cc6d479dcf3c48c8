#include "app/update/UpdateWindow.h"

#include "app/update/UpdateManager.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextDocument>
#include <QVBoxLayout>
#include <memory>

namespace lc::update {
namespace {

// Release notes come from the network: they may show text and links but load nothing, neither
// images nor style sheets, local or remote (a local path such as /dev/zero would never end).
// The document itself must refuse: it reads local files when its view declines.
class InertDocument : public QTextDocument {
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl&) override {
        return type == ImageResource ? QVariant(QImage()) : QVariant(QString());
    }
};

} // namespace

UpdateWindow::UpdateWindow(UpdateManager& manager, QWidget* parent)
    : QWidget(parent, Qt::Window), manager_(manager), heading_(new QLabel(this)), detail_(new QLabel(this)),
      notes_(new QTextBrowser(this)), progress_(new QProgressBar(this)),
      skip_(new QPushButton(QStringLiteral("Skip This Version"), this)),
      later_(new QPushButton(QStringLiteral("Later"), this)),
      install_(new QPushButton(QStringLiteral("Install and Relaunch"), this)),
      done_(new QPushButton(QStringLiteral("OK"), this)) {
    setWindowTitle(QStringLiteral("Software Update"));
    setObjectName(QStringLiteral("updateWindow"));
    heading_->setObjectName(QStringLiteral("heading"));
    detail_->setObjectName(QStringLiteral("detail"));
    notes_->setObjectName(QStringLiteral("releaseNotes"));
    progress_->setObjectName(QStringLiteral("progress"));
    skip_->setObjectName(QStringLiteral("skip"));
    later_->setObjectName(QStringLiteral("later"));
    install_->setObjectName(QStringLiteral("install"));
    done_->setObjectName(QStringLiteral("done"));

    QFont headingFont = heading_->font();
    headingFont.setBold(true);
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.15);
    heading_->setFont(headingFont);
    detail_->setWordWrap(true);
    // No link is followed inside the window; web links open in the browser.
    notes_->setDocument(new InertDocument(notes_));
    notes_->setOpenLinks(false);
    notes_->setOpenExternalLinks(false);
    connect(notes_, &QTextBrowser::anchorClicked, this, [](const QUrl& url) {
        if (url.scheme() == u"https") QDesktopServices::openUrl(url);
    });
    notes_->setMinimumSize(420, 220);
    install_->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(skip_);
    buttons->addStretch(1);
    buttons->addWidget(later_);
    buttons->addWidget(install_);
    buttons->addWidget(done_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading_);
    layout->addWidget(detail_);
    layout->addWidget(notes_, 1);
    layout->addWidget(progress_);
    layout->addLayout(buttons);

    connect(install_, &QPushButton::clicked, &manager_, &UpdateManager::installAndRelaunch);
    connect(later_, &QPushButton::clicked, &manager_, &UpdateManager::later);
    connect(skip_, &QPushButton::clicked, &manager_, &UpdateManager::skipThisVersion);
    connect(done_, &QPushButton::clicked, &manager_, &UpdateManager::later);
    connect(&manager_, &UpdateManager::stageChanged, this, &UpdateWindow::refresh);
    connect(&manager_, &UpdateManager::releaseNotesChanged, this, &UpdateWindow::refresh);
    connect(&manager_, &UpdateManager::progressChanged, this, &UpdateWindow::showProgress);
    refresh();
}

void UpdateWindow::closeEvent(QCloseEvent* event) {
    // Closing the window is "Later", except that an install under way goes on.
    if (manager_.stage() != UpdateManager::Stage::Installing) manager_.later();
    event->accept();
}

void UpdateWindow::showProgress(qint64 received, qint64 total) {
    if (total > 0) {
        // Scaled to kilobytes so that packages over 2 GB fit the bar's int range.
        progress_->setRange(0, static_cast<int>(total / 1024 + 1));
        progress_->setValue(static_cast<int>(received / 1024));
    } else {
        progress_->setRange(0, 0);
    }
}

void UpdateWindow::refresh() {
    using Stage = UpdateManager::Stage;
    const Stage stage = manager_.stage();
    const auto& offered = manager_.offeredUpdate();
    const bool offering = stage == Stage::Found && offered;
    const bool working = stage == Stage::Checking || stage == Stage::Downloading ||
                         stage == Stage::Installing || stage == Stage::WaitingToInstall;

    switch (stage) {
    case Stage::Idle:
        hide();
        return;
    case Stage::Checking:
        heading_->setText(QStringLiteral("Checking for updates…"));
        detail_->clear();
        break;
    case Stage::UpToDate:
        heading_->setText(QStringLiteral("You're up to date!"));
        detail_->setText(manager_.message());
        break;
    case Stage::Failed:
        heading_->setText(QStringLiteral("Update failed"));
        detail_->setText(manager_.message());
        break;
    case Stage::Found:
        heading_->setText(QStringLiteral("A new version of Loomcast is available!"));
        if (offered)
            detail_->setText(
                QStringLiteral(
                    "Loomcast %1 is now available — you have %2. Would you like to install it now?")
                    .arg(offered->displayVersion(), manager_.currentVersion()));
        break;
    case Stage::Downloading:
        heading_->setText(QStringLiteral("Downloading update…"));
        break;
    case Stage::WaitingToInstall:
        heading_->setText(QStringLiteral("Ready to install"));
        detail_->setText(QStringLiteral("The update will be installed and Loomcast relaunched as soon as the "
                                        "recording or export has finished."));
        break;
    case Stage::Installing:
        heading_->setText(QStringLiteral("Installing update…"));
        detail_->clear();
        break;
    }

    notes_->setVisible(offering);
    if (offering) notes_->setHtml(manager_.releaseNotes());
    progress_->setVisible(working);
    if (stage == Stage::Checking || stage == Stage::Installing || stage == Stage::WaitingToInstall)
        progress_->setRange(0, 0);
    if (stage == Stage::Downloading) showProgress(manager_.bytesReceived(), manager_.bytesTotal());
    skip_->setVisible(offering);
    install_->setVisible(offering);
    later_->setVisible(offering || stage == Stage::Checking || stage == Stage::Downloading ||
                       stage == Stage::WaitingToInstall);
    later_->setText(offering ? QStringLiteral("Later") : QStringLiteral("Cancel"));
    done_->setVisible(stage == Stage::UpToDate || stage == Stage::Failed);
    adjustSize();
}

void attachUpdateWindow(UpdateManager& manager) {
    // The window lives as long as the manager; a QObject child cannot own a parentless widget,
    // so a small holder does.
    struct Holder : QObject {
        std::unique_ptr<UpdateWindow> window;
    };
    auto* holder = new Holder;
    holder->setParent(&manager);
    QObject::connect(&manager, &UpdateManager::windowRequested, holder, [holder, &manager] {
        if (!holder->window) holder->window = std::make_unique<UpdateWindow>(manager);
        holder->window->show();
        holder->window->raise();
        holder->window->activateWindow();
    });
}

} // namespace lc::update
