// The board's own OS seam, where it does more than forward a system call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>

#include "platform.h"

namespace {

std::atomic<int> interrupts{0};

TEST(BoardPlatform, CommandKeepsTheStopSignalAndItsExitStatus) {
    struct sigaction action {};
    action.sa_handler = [](int) { ++interrupts; };
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGINT, &action, &previous), 0);

    int status = -1;
    std::thread runner([&] { status = os().RunCommand("sleep 1; exit 3"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // A stop request while the command runs reaches the service's handler,
    // here on the thread that waits for the command.
    pthread_kill(runner.native_handle(), SIGINT);
    runner.join();
    for (int i = 0; i < 100 && interrupts == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sigaction(SIGINT, &previous, nullptr);

    EXPECT_EQ(interrupts, 1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(os().RunCommand("exit 0"), 0);
}

}  // namespace
