// The qzemu CLI as a user runs it: exit codes, --json output, help, and the
// daemon convenience verbs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "E2eSupport.h"

namespace qzemu::e2e {
namespace {

struct CliRun {
    int code = -1;
    std::string out;
};

CliRun qzemu(const std::string& socket, std::vector<std::string> args, bool stderrToo = false) {
    args.insert(args.begin(), {QZEMU_CLI_PATH, "--socket", socket});
    CliRun r;
    EXPECT_FALSE(nork::port::runProcess(QZEMU_CLI_PATH, args, r.out, r.code, stderrToo));
    return r;
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<SocketRig>(scratch.path());
        ASSERT_TRUE(rig->ready());
    }
    CliRun cli(std::vector<std::string> args) { return qzemu(rig->daemon().socket(), args); }

    ScratchDir scratch;
    std::unique_ptr<SocketRig> rig;
};

TEST_F(CliTest, VerbsDriveTheDaemon) {
    CliRun create = cli({"create", "--serial", "QECLI1", "--capacity", "8M", "--layout",
                         "cd:1M,public:rest", "--firmware", "6.777", "--vid", "0x1234"});
    ASSERT_EQ(create.code, 0) << create.out;
    EXPECT_EQ(create.out, "QECLI1\n");
    const auto info = rig->inspect("QECLI1");
    EXPECT_EQ(info.flashSectors, 16384u);
    EXPECT_EQ(info.layout, "cd:2048,public:14336");
    EXPECT_EQ(info.firmware, "6.777");
    EXPECT_EQ(info.usbVendorId, 0x1234);

    EXPECT_EQ(cli({"write-sectors", "QECLI1", "1", "3", "--fill", "0x5a", "--count", "2"}).code, 0);
    CliRun dump = cli({"read-sectors", "QECLI1", "1", "4"});
    ASSERT_EQ(dump.code, 0);
    EXPECT_NE(dump.out.find("00000800  5a 5a"), std::string::npos) << dump.out;

    EXPECT_EQ(cli({"fault", "QECLI1", "fail-next", "1", "0x00600001"}).code, 0);
    EXPECT_EQ(rig->inspect("QECLI1").faults.failCode, 0x00600001u);
    EXPECT_EQ(cli({"read-sectors", "QECLI1", "1", "0"}).code, 4);  // the drive failed it
    EXPECT_EQ(cli({"fault", "QECLI1", "tear-write", "2", "1", "--drop"}).code, 0);
    EXPECT_TRUE(rig->inspect("QECLI1").faults.tearThenDrop);
    EXPECT_EQ(cli({"fault", "QECLI1", "clear"}).code, 0);

    EXPECT_EQ(cli({"unplug", "QECLI1"}).code, 0);
    EXPECT_EQ(rig->inspect("QECLI1").bus, emu::Bus::Detached);
    EXPECT_EQ(cli({"read-sectors", "QECLI1", "1", "0"}).code, 4);  // off the bus
    EXPECT_EQ(cli({"plug", "QECLI1"}).code, 0);
    EXPECT_NE(cli({"list"}).out.find("QECLI1"), std::string::npos);
    EXPECT_EQ(cli({"remove", "QECLI1"}).code, 0);
    EXPECT_EQ(cli({"list"}).out.find("QECLI1"), std::string::npos);
}

TEST_F(CliTest, ExitCodes) {
    ASSERT_EQ(cli({"create", "--serial", "QECLI2"}).code, 0);
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const Case cases[] = {
        {{}, 1},
        {{"frobnicate"}, 1},
        {{"plug"}, 1},
        {{"plug", "A", "B"}, 1},
        {{"create", "--capacity", "12Q"}, 1},
        {{"create", "--mode", "floppy"}, 1},
        {{"create", "--bogus"}, 1},
        {{"fault", "QECLI2", "sparkle"}, 1},
        {{"fault", "QECLI2", "never-reattach", "maybe"}, 1},
        {{"read-sectors", "QECLI2", "1", "0", "129"}, 1},
        {{"write-sectors", "QECLI2", "0", "0"}, 1},
        {{"plug", "NOPE"}, 3},
        {{"create", "--serial", "QECLI2"}, 3},
        {{"create", "--layout", "public:999G"}, 3},
        {{"inspect", "QECLI2"}, 0},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        EXPECT_EQ(cli(c.args).code, c.code) << line;
    }
    const std::string nowhere = (scratch.path() / "none.sock").string();
    EXPECT_EQ(qzemu(nowhere, {"list"}).code, 2);
    EXPECT_EQ(qzemu(nowhere, {"daemon", "status"}).code, 2);
}

TEST_F(CliTest, JsonOutputParses) {
    const std::vector<std::vector<std::string>> runs = {
        {"--json", "create", "--serial", "QEJ\"1", "--unplugged"},  // refused, still JSON
        {"--json", "create", "--serial", "QEJ1", "--product", "Say \"hi\""},
        {"list", "--json"},
        {"--json", "inspect", "QEJ1"},
        {"--json", "fault", "QEJ1", "reattach-delay", "5"},
        {"--json", "read-sectors", "QEJ1", "0", "0"},
        {"--json", "write-sectors", "QEJ1", "1", "0", "--fill", "1"},
        {"--json", "plug", "NOPE"},
        {"--json", "frobnicate"},
        {"--json", "daemon", "status"},
    };
    for (const auto& args : runs) {
        const CliRun r = cli(args);
        EXPECT_TRUE(JsonChecker::valid(r.out)) << args[1] << ": " << r.out;
    }
    const CliRun list = cli({"--json", "list"});
    EXPECT_NE(list.out.find("\"serial\":\"QEJ1\""), std::string::npos);
    EXPECT_NE(list.out.find("\"product\":\"Say \\\"hi\\\"\""), std::string::npos);
    EXPECT_NE(list.out.find("\"reattach_delay_ms\":5"), std::string::npos);
}

TEST_F(CliTest, HelpForEveryVerb) {
    for (const char* verb : {"create", "list", "plug", "unplug", "fault", "inspect", "read-sectors",
                             "write-sectors", "remove", "daemon"}) {
        const CliRun r = cli({verb, "--help"});
        EXPECT_EQ(r.code, 0) << verb;
        EXPECT_EQ(r.out.rfind(std::string("usage: qzemu ") + verb, 0), 0u) << r.out;
        EXPECT_EQ(cli({"help", verb}).out, r.out);
    }
    const CliRun global = cli({"--help"});
    EXPECT_EQ(global.code, 0);
    EXPECT_NE(global.out.find("Exit status"), std::string::npos);
}

TEST(CliDaemonVerbs, StartStatusStop) {
    ScratchDir scratch;
    const std::string socket =
        (fs::temp_directory_path() / ("qze-cli-" + uniqueSuffix() + ".sock")).string();
    const std::string state = (scratch.path() / "state").string();
    EXPECT_EQ(qzemu(socket, {"daemon", "status"}).code, 2);
    const CliRun start = qzemu(socket, {"daemon", "start", "--state-dir", state}, true);
    ASSERT_EQ(start.code, 0) << start.out;
    EXPECT_EQ(qzemu(socket, {"daemon", "status"}).code, 0);
    EXPECT_EQ(qzemu(socket, {"daemon", "start", "--state-dir", state}).code, 0);  // already
    ASSERT_EQ(qzemu(socket, {"create", "--serial", "QEBG1"}).code, 0);
    EXPECT_TRUE(fs::exists(fs::path(state) / "QEBG1" / "drive.state"));
    EXPECT_EQ(qzemu(socket, {"daemon", "stop"}).code, 0);
    EXPECT_EQ(qzemu(socket, {"daemon", "status"}).code, 2);
    EXPECT_FALSE(fs::exists(socket));
}

}  // namespace
}  // namespace qzemu::e2e
