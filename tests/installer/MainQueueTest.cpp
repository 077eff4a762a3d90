#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include "installer/MainQueue.h"

namespace {

using installer::MainQueue;

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "main-queue-test";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);
    return *app;
}

// Runs the main loop on this thread while background runs on another; the
// loop ends when background is done.
void runBesideMainLoop(const std::function<void()>& background) {
    application();
    auto& queue = MainQueue::shared();
    std::thread worker([&] {
        background();
        queue.sync([] { QCoreApplication::quit(); });
    });
    QCoreApplication::exec();
    worker.join();
}

// Several threads at once, each waiting for its own work in turn.
TEST(MainQueue, RunsEachThreadsWorkOnTheMainThreadInOrderBeforeReturning) {
    application();
    auto* mainThread = QThread::currentThread();
    EXPECT_TRUE(MainQueue::shared().isMainThread());
    std::vector<std::pair<int, int>> ran;  // touched on the main thread only
    runBesideMainLoop([&] {
        std::vector<std::thread> senders;
        for (int sender = 0; sender < 3; ++sender) {
            senders.emplace_back([&ran, mainThread, sender] {
                EXPECT_FALSE(MainQueue::shared().isMainThread());
                for (int step = 0; step < 100; ++step) {
                    QThread* ranOn = nullptr;
                    MainQueue::shared().sync([&ran, &ranOn, sender, step] {
                        ranOn = QThread::currentThread();
                        ran.emplace_back(sender, step);
                    });
                    // Written on the main thread, read here without further waiting.
                    EXPECT_EQ(ranOn, mainThread);
                }
            });
        }
        for (auto& thread : senders) {
            thread.join();
        }
    });
    ASSERT_EQ(ran.size(), 300u);
    std::vector<int> next(3, 0);
    for (auto [sender, step] : ran) {
        EXPECT_EQ(step, next[sender]++);
    }
}

TEST(MainQueue, WorkInANestedLoopHoldsBackLaterWork) {
    bool firstRunning = false;
    bool secondRanDuringFirst = false;
    bool secondRan = false;
    runBesideMainLoop([&] {
        std::thread second;
        MainQueue::shared().sync([&] {
            auto& queue = MainQueue::shared();
            firstRunning = true;
            second = std::thread([&] {
                queue.sync([&] {
                    secondRanDuringFirst = firstRunning;
                    secondRan = true;
                });
            });
            while (queue.pendingCount() == 0) {
                std::this_thread::yield();
            }
            // Like a modal alert: a nested loop that processes events,
            // including the wake-up the second submission posts right after
            // queuing its work.
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            EXPECT_EQ(queue.pendingCount(), 1u);
            firstRunning = false;
        });
        second.join();
    });
    EXPECT_TRUE(secondRan);
    EXPECT_FALSE(secondRanDuringFirst);
}

}  // namespace
