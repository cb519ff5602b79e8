// Leaving and joining the bus: what the host sees meanwhile, the events the
// daemon forwards, and the volumes.
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "emu/EmuTestSupport.h"

namespace qzemu::test {
namespace {

// Collects bus events in order.
class EventLog {
  public:
    void attach(VirtualDrive& drive) {
        m_id = drive.subscribe([this](const std::string& serial, BusEvent event) {
            std::lock_guard lock(m_mutex);
            m_serials.push_back(serial);
            m_events.push_back(event);
            m_changed.notify_all();
        });
    }
    // Waits until n events arrived and returns them.
    std::vector<BusEvent> waitFor(std::size_t n) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 10s, [&] { return m_events.size() >= n; });
        return m_events;
    }
    std::vector<std::string> serials() {
        std::lock_guard lock(m_mutex);
        return m_serials;
    }
    int id() const { return m_id; }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<BusEvent> m_events;
    std::vector<std::string> m_serials;
    int m_id = 0;
};

ScsiReply::Result resultOf(VirtualDrive& drive, const ScsiRequest& r) {
    return drive.execute(r).result;
}

TEST(Bus, DetachedDriveAnswersNothing) {
    ScratchDir dir;
    auto drive = VirtualDrive::create(dir.path(), smallConfig());
    drive->detach();
    for (const auto& request : {inquiry(), testUnitReady(), requestSense(), read10(1, 0, 1),
                                reportId(), getErrorCode()}) {
        EXPECT_EQ(resultOf(*drive, request), ScsiReply::NoDevice);
    }
    EXPECT_TRUE(drive->volumePath(0).empty());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "volumes"));
}

TEST(Bus, AttachIsNotReadyThenUnitAttentionOnceThenReady) {
    ScratchDir dir;
    DriveConfig config = smallConfig();
    config.attached = false;
    config.readyDelay = 1h;  // released by the test below
    auto drive = VirtualDrive::create(dir.path(), config);
    EXPECT_EQ(drive->busState(), BusState::Detached);

    drive->attach();
    ASSERT_EQ(drive->busState(), BusState::Attaching);
    for (std::uint8_t lun : {0, 1}) {
        auto tur = drive->execute(testUnitReady(lun));
        EXPECT_EQ(tur.scsiStatus, proto::SCSI_STATUS_CHECK_CONDITION);
        EXPECT_EQ(tur.senseKey(), proto::SENSE_KEY_NOT_READY);
        auto rs = drive->execute(requestSense(lun));
        EXPECT_EQ(rs.dataIn[proto::SENSE_KEY_OFFSET], proto::SENSE_KEY_NOT_READY);
        EXPECT_EQ(drive->execute(read10(lun, 0, 1)).senseKey(), proto::SENSE_KEY_NOT_READY);
        EXPECT_EQ(drive->execute(readCapacity(lun)).senseKey(), proto::SENSE_KEY_NOT_READY);
    }
    EXPECT_TRUE(drive->execute(inquiry()).good());  // identity answers while not ready
    EXPECT_TRUE(drive->volumePath(1).empty());

    drive->setDelays(0ms, 0ms);
    ASSERT_TRUE(drive->waitForBusState(BusState::Attached, 10s));
    // LUN 0 is probed with TEST UNIT READY, LUN 1 with REQUEST SENSE.
    auto tur = drive->execute(testUnitReady(0));
    EXPECT_EQ(tur.senseKey(), proto::SENSE_KEY_UNIT_ATTENTION);
    EXPECT_TRUE(drive->execute(testUnitReady(0)).good());
    EXPECT_EQ(drive->execute(requestSense(1)).dataIn[proto::SENSE_KEY_OFFSET],
              proto::SENSE_KEY_UNIT_ATTENTION);
    EXPECT_EQ(drive->execute(requestSense(1)).dataIn[proto::SENSE_KEY_OFFSET],
              proto::SENSE_KEY_NO_SENSE);
    EXPECT_TRUE(drive->execute(testUnitReady(1)).good());
}

TEST(Bus, DetachAttachCommandCyclesTheDriveAndReportsEvents) {
    ScratchDir dir;
    DriveConfig config = smallConfig();
    config.reattachDelay = 1h;  // released by the test below
    auto drive = VirtualDrive::create(dir.path(), config);
    consumeAttention(*drive);
    EventLog log;
    log.attach(*drive);

    auto reply = drive->execute(detachAttach(0, 0, 1));
    EXPECT_TRUE(reply.good());
    EXPECT_EQ(drive->execute(inquiry()).result, ScsiReply::NoDevice);
    EXPECT_EQ(log.waitFor(1), std::vector<BusEvent>{BusEvent::Detached});
    EXPECT_TRUE(drive->inspect().plugged);  // on its way back
    EXPECT_EQ(drive->inspect().lastDetachAttach, (std::array<std::uint32_t, 3>{0, 0, 1}));

    drive->setDelays(0ms, 0ms);
    ASSERT_TRUE(drive->waitForBusState(BusState::Attached, 10s));
    EXPECT_EQ(log.waitFor(3),
              (std::vector<BusEvent>{BusEvent::Detached, BusEvent::Attached, BusEvent::Ready}));
    for (const auto& serial : log.serials())
        EXPECT_EQ(serial, "QE00112233445566");
    EXPECT_EQ(drive->execute(testUnitReady(1)).senseKey(), proto::SENSE_KEY_UNIT_ATTENTION);
    drive->unsubscribe(log.id());
}

TEST(Bus, DetachAttachTimingWords) {
    ScratchDir dir;
    DriveConfig config = smallConfig();
    config.reattachDelay = 1h;
    auto drive = VirtualDrive::create(dir.path(), config);

    // Word 1 bounds the time off the bus.
    ASSERT_TRUE(drive->execute(detachAttach(0, 20, 0)).good());
    EXPECT_TRUE(drive->waitForBusState(BusState::Attached, 10s));

    // Word 0 keeps the drive on the bus after its answer.
    ASSERT_TRUE(drive->execute(detachAttach(3600000, 20, 0)).good());
    EXPECT_EQ(drive->execute(inquiry()).result, ScsiReply::Ok);
}

TEST(Bus, VolumesComeAndGoWithTheDriveAndKeepTheirContent) {
    ScratchDir dir;
    auto drive = VirtualDrive::create(dir.path(), smallConfig());
    ASSERT_EQ(drive->busState(), BusState::Attached);
    for (std::uint8_t lun : {0, 1}) {
        EXPECT_TRUE(std::filesystem::is_directory(drive->volumePath(lun))) << int(lun);
    }
    EXPECT_TRUE(drive->volumePath(2).empty());
    const auto file = drive->volumePath(1) / "note.txt";
    std::ofstream(file) << "kept";

    drive->detach();
    EXPECT_FALSE(std::filesystem::exists(file));
    drive->attach();
    ASSERT_EQ(drive->volumePath(1) / "note.txt", file);
    std::ifstream in(file);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "kept");
}

TEST(Bus, ObserverMayCallBackIntoTheDrive) {
    ScratchDir dir;
    auto drive = VirtualDrive::create(dir.path(), smallConfig());
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<BusState> seen;
    drive->subscribe([&](const std::string&, BusEvent) {
        BusState state = drive->busState();  // would deadlock if called under the drive lock
        std::lock_guard lock(mutex);
        seen.push_back(state);
        cv.notify_all();
    });
    drive->detach();
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return !seen.empty(); }));
    EXPECT_EQ(seen[0], BusState::Detached);
}

TEST(Bus, UnsubscribedObserverHearsNothingMore) {
    ScratchDir dir;
    auto drive = VirtualDrive::create(dir.path(), smallConfig());
    EventLog gone;
    EventLog stays;
    gone.attach(*drive);
    stays.attach(*drive);
    drive->unsubscribe(gone.id());
    drive->detach();
    // Both would get the event in the same delivery.
    ASSERT_EQ(stays.waitFor(1).size(), 1u);
    EXPECT_TRUE(gone.serials().empty());
}

}  // namespace
}  // namespace qzemu::test
