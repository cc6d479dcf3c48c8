#include "TestSupport.h"
#include "common/Detached.h"
#include "common/Files.h"
#include "common/Guarded.h"
#include "common/Join.h"
#include "common/PostGate.h"
#include "common/UniqueFd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <qcoro/qcorotimer.h>
#include <stdexcept>
#include <thread>

namespace lc {
namespace {

QCoro::Task<> throwsAfterAWait(bool* reached) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(1);
    co_await timer;
    *reached = true;
    throw std::runtime_error("disk on fire");
}

QCoro::Task<> finishes(bool* reached) {
    *reached = true;
    co_return;
}

TEST(Detached, ReportsWhatATaskThrowsAndNothingWhenItSucceeds) {
    QStringList reports;
    bool reached = false;
    runDetached(throwsAfterAWait(&reached), QStringLiteral("Saving"),
                [&](const QString& line) { reports << line; });
    while (!reached || reports.isEmpty())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(reports, QStringList{QStringLiteral("Saving failed: disk on fire")});

    bool done = false;
    runDetached(finishes(&done), QStringLiteral("Nothing"), [&](const QString& line) { reports << line; });
    EXPECT_TRUE(done);
    EXPECT_EQ(reports.size(), 1);
}

QCoro::Task<> waitFor(const Join& join, std::vector<int>* log, int mark) {
    co_await join.idle();
    log->push_back(mark);
}

// Lets queued work run; nothing here waits for a clock.
void drain() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

TEST(Join, WaitersResumeOnlyOnceNoTicketIsHeld) {
    Join join;
    std::vector<int> log;
    waitFor(join, &log, 0);
    EXPECT_EQ(log, std::vector<int>{0}) << "idle at once when nothing runs";

    Join::Ticket a = join.enter();
    Join::Ticket b = join.enter();
    EXPECT_EQ(join.count(), 2);
    waitFor(join, &log, 1);
    waitFor(join, &log, 2);
    a.release();
    a.release(); // a second release is a no-op
    drain();
    EXPECT_EQ(log.size(), 1u);
    Join::Ticket moved = std::move(b);
    b = Join::Ticket();
    EXPECT_EQ(join.count(), 1);
    moved = Join::Ticket();
    EXPECT_TRUE(join.isIdle());
    EXPECT_EQ(log.size(), 1u) << "never resumed inside the releasing call";
    drain();
    EXPECT_EQ(log, (std::vector<int>{0, 1, 2}));
}

TEST(Join, WorkThatEntersAgainBeforeTheWakeKeepsTheWaiterWaiting) {
    Join join;
    std::vector<int> log;
    std::optional<Join::Ticket> first(join.enter());
    waitFor(join, &log, 1);
    first.reset();
    Join::Ticket again = join.enter(); // before the event loop ran
    drain();
    EXPECT_TRUE(log.empty());
    again.release();
    drain();
    EXPECT_EQ(log, std::vector<int>{1});
}

TEST(Join, DestroyingTheJoinResumesItsWaitersAndOutlivingTicketsAreHarmless) {
    std::vector<int> log;
    Join::Ticket outliving;
    {
        Join join;
        outliving = join.enter();
        waitFor(join, &log, 7);
    }
    drain();
    EXPECT_EQ(log, std::vector<int>{7});
    outliving.release();
    drain();
    EXPECT_EQ(log, std::vector<int>{7});
}

TEST(UniqueFd, ClosesOnceAndMovesOwnership) {
    int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        UniqueFd a(raw);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), raw);
    }
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1); // closed by b, not twice
}

TEST(Guarded, EveryAccessHoldsTheLock) {
    Guarded<int> counter;
    std::thread other([&] {
        for (int i = 0; i < 100000; ++i)
            ++*counter.lock();
    });
    for (int i = 0; i < 100000; ++i)
        ++*counter.lock();
    other.join();
    EXPECT_EQ(counter.snapshot(), 200000);
}

TEST(PostGate, DeliversOnTheTargetsThreadUntilClosed) {
    QObject target;
    auto gate = std::make_shared<PostGate<QObject>>(&target);
    int delivered = 0;
    std::thread([gate, &delivered] { gate->post([&delivered](QObject&) { ++delivered; }); }).join();
    EXPECT_EQ(delivered, 0); // queued, not run on the posting thread
    QCoreApplication::processEvents();
    EXPECT_EQ(delivered, 1);
    gate->close();
    gate->post([&delivered](QObject&) { ++delivered; });
    QCoreApplication::processEvents();
    EXPECT_EQ(delivered, 1);
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(DurableWrite, ReplacesTheFileAndLeavesNoTemporary) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.json"));
    ASSERT_TRUE(writeFileDurably(path, "first").ok());
    ASSERT_TRUE(writeFileDurably(path, "second").ok());
    EXPECT_EQ(readAll(path), "second");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("session.json")});

    const auto refused = writeFileDurably(dir.filePath(QStringLiteral("missing/x.json")), "x");
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message.find("No such file"), std::string::npos) << refused.error().message;
}

// A full disk must never leave the file empty or half-written: the previous version stays.
TEST(DurableWrite, AFullDiskKeepsThePreviousFileWhole) {
    QTemporaryDir dir;
    const std::string mountPoint = dir.filePath(QStringLiteral("small")).toStdString();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(mountPoint)));
    const int failures = test::inSmallFilesystem(mountPoint, "size=64k", [&] {
        const QString path = QString::fromStdString(mountPoint) + QStringLiteral("/session.json");
        const QByteArray small(1000, 'a');
        int bad = 0;
        if (!writeFileDurably(path, small).ok()) ++bad;
        const auto big = writeFileDurably(path, QByteArray(200 * 1024, 'b'));
        if (big.ok()) ++bad;
        if (big.error().message.find("No space left") == std::string::npos) ++bad;
        if (readAll(path) != small) ++bad;
        if (QDir(QString::fromStdString(mountPoint)).entryList(QDir::Files).size() != 1) ++bad;
        return bad;
    });
    if (failures == 99) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(failures, 0);
}

} // namespace
} // namespace lc
