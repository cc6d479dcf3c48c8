#pragma once
// The update window: what the check found, its release notes, and the choice to install it
// now, later or never; also the progress of checking, downloading and installing.
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;

namespace lc::update {

class UpdateManager;

class UpdateWindow : public QWidget {
    Q_OBJECT
public:
    explicit UpdateWindow(UpdateManager& manager, QWidget* parent = nullptr);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void refresh();
    void showProgress(qint64 received, qint64 total);

    UpdateManager& manager_;
    QLabel* heading_;
    QLabel* detail_;
    QTextBrowser* notes_;
    QProgressBar* progress_;
    QPushButton* skip_;
    QPushButton* later_;
    QPushButton* install_;
    QPushButton* done_;
};

// Shows (creating once) the update window whenever the manager asks for it; the window
// belongs to the manager.
void attachUpdateWindow(UpdateManager& manager);

} // namespace lc::update
