// Several clients on one drive: commands are serialised and whole.
#include <atomic>
#include <thread>

#include "emu/EmuTestSupport.h"

namespace qzemu::test {
namespace {

TEST(Concurrency, ThreadsWritingAndReadingTheirOwnSectorsNeverSeeTornData) {
    ScratchDir dir;
    auto drive = VirtualDrive::create(dir.path(), smallConfig());
    consumeAttention(*drive);
    drive->setCommandDelay(1ms);  // widen the window a missing lock would leave
    const auto commandsBefore = drive->inspect().commandCount;

    constexpr int THREADS = 4;
    constexpr int ROUNDS = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < ROUNDS; ++round) {
                // Every thread writes the same sectors with its own pattern:
                // a read must show one whole pattern, never a mix.
                const auto mine = pattern(8, static_cast<std::uint8_t>(t * 50 + round));
                if (!drive->execute(write10(1, 10, mine)).good())
                    ++failures;
                auto back = drive->execute(read10(1, 10, 8));
                if (!back.good()) {
                    ++failures;
                    continue;
                }
                const std::uint8_t seed = back.dataIn[0];
                if (back.dataIn != pattern(8, seed))
                    ++failures;
                // Private commands interleave with data commands.
                if (!drive->execute(qzCommand(proto::qzop::AUX_GET_FW_VERSION, ScsiRequest::In, 24))
                         .good()) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(drive->inspect().commandCount, commandsBefore + THREADS * ROUNDS * 3);
}

TEST(Concurrency, DetachDuringCommandsLeavesEachCommandWholeOrUnanswered) {
    ScratchDir dir;
    auto drive = VirtualDrive::create(dir.path(), smallConfig());
    consumeAttention(*drive);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread client([&] {
        const auto data = pattern(4, 0x5A);
        while (!stop) {
            auto reply = drive->execute(write10(1, 0, data));
            if (reply.result == ScsiReply::Ok && !reply.good())
                ++bad;
        }
    });
    for (int i = 0; i < 20; ++i) {
        drive->detach();
        drive->attach();
        consumeAttention(*drive);
    }
    stop = true;
    client.join();
    EXPECT_EQ(bad.load(), 0);
    auto back = drive->execute(read10(1, 0, 4));
    EXPECT_TRUE(back.dataIn == pattern(4, 0x5A) ||
                back.dataIn == std::vector<std::uint8_t>(4 * 512, 0));
}

}  // namespace
}  // namespace qzemu::test
