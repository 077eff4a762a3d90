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

TEST(MainQueue, RunsWorkOnTheMainThreadBeforeReturning) {
    application();
    auto* mainThread = QThread::currentThread();
    EXPECT_TRUE(MainQueue::shared().isMainThread());
    runBesideMainLoop([&] {
        EXPECT_FALSE(MainQueue::shared().isMainThread());
        for (int round = 0; round < 50; ++round) {
            QThread* ranOn = nullptr;
            int value = 0;
            MainQueue::shared().sync([&] {
                ranOn = QThread::currentThread();
                value = round + 1;
            });
            // Written on the main thread, read here without further waiting.
            EXPECT_EQ(ranOn, mainThread);
            EXPECT_EQ(value, round + 1);
        }
    });
}

TEST(MainQueue, KeepsTheOrderOfEachThreadsWork) {
    std::vector<std::pair<int, int>> ran;  // touched on the main thread only
    runBesideMainLoop([&] {
        std::vector<std::thread> senders;
        for (int sender = 0; sender < 3; ++sender) {
            senders.emplace_back([&ran, sender] {
                for (int step = 0; step < 100; ++step) {
                    MainQueue::shared().sync(
                        [&ran, sender, step] { ran.emplace_back(sender, step); });
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
