#include "common/Detached.h"
#include "common/Guarded.h"
#include "common/PostGate.h"
#include "common/UniqueFd.h"

#include <QCoreApplication>
#include <QObject>
#include <fcntl.h>
#include <gtest/gtest.h>
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

} // namespace
} // namespace lc
