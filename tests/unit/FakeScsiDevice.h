// Test doubles for the command layer: a pass-through that records what the
// executor built and answers like a device, a device-table backend over it,
// and a SCSI executor that answers from a script.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SCSIExec.h"
#include "port/DeviceIo.h"
#include "port/ScsiPassThrough.h"

namespace nork::test {

// Records every request and answers with a fixed status, sense and data.
class RecordingPassThrough : public port::IScsiPassThrough {
  public:
    port::PortError send(port::OsHandle handle, port::ScsiPassThroughRequest& request) override {
        handles.push_back(handle);
        requests.push_back(request);
        if (!dataIn.empty() && request.DataBuffer != nullptr &&
            request.DataIn == port::SCSI_IOCTL_DATA_IN) {
            std::memcpy(request.DataBuffer, dataIn.data(),
                        std::min<std::size_t>(dataIn.size(), request.DataTransferLength));
        }
        if (request.DataBuffer != nullptr && request.DataIn == port::SCSI_IOCTL_DATA_OUT) {
            const auto* p = static_cast<const std::uint8_t*>(request.DataBuffer);
            dataOut.assign(p, p + request.DataTransferLength);
        }
        request.ScsiStatus = scsiStatus;
        std::memcpy(request.Sense, sense, sizeof sense);
        return result;
    }

    const port::ScsiPassThroughRequest& last() const { return requests.back(); }
    std::vector<std::uint8_t> lastCdb() const {
        return {last().Cdb, last().Cdb + last().CdbLength};
    }

    std::vector<port::ScsiPassThroughRequest> requests;
    std::vector<port::OsHandle> handles;
    std::vector<std::uint8_t> dataIn;
    std::vector<std::uint8_t> dataOut;
    std::uint8_t scsiStatus = 0;
    std::uint8_t sense[port::SCSI_PASS_THROUGH_SENSE_SPACE] = {};
    port::PortError result;
};

// A device-table backend that serves paths starting with "fake:" and sends
// requests to a RecordingPassThrough.
class FakeBackend : public port::IDeviceBackend {
  public:
    explicit FakeBackend(RecordingPassThrough& device) : m_device(device) {}

    const char* name() const override { return "fake"; }
    bool claims(std::string_view path) const override { return path.substr(0, 5) == "fake:"; }
    port::PortError open(const std::string& path, std::intptr_t& local) override {
        opened.push_back(path);
        if (failOpen)
            return port::PortError{port::PortErrc::NotFound, 0};
        local = static_cast<std::intptr_t>(opened.size());
        ++openCount;
        return port::PortError::ok();
    }
    void close(std::intptr_t) override { --openCount; }
    port::PortError passThrough(std::intptr_t, port::ScsiPassThroughRequest& request) override {
        return m_device.send(0, request);
    }
    port::PortError vendorDriverRequest(std::intptr_t,
                                        port::VendorDriverRequest& request) override {
        vendorRequests.push_back(std::vector<std::uint8_t>(
            static_cast<const std::uint8_t*>(request.input),
            static_cast<const std::uint8_t*>(request.input) + request.inputLength));
        return vendorResult;
    }

    std::vector<std::string> opened;
    int openCount = 0;
    bool failOpen = false;
    std::vector<std::vector<std::uint8_t>> vendorRequests;
    port::PortError vendorResult;

  private:
    RecordingPassThrough& m_device;
};

// A SCSI executor that records CDBs and answers through a callback.
class ScriptedExec : public CSCSIExec {
  public:
    using Answer = std::function<bool(const std::vector<std::uint8_t>& cdb, std::uint8_t* data,
                                      std::uint32_t dataSize)>;

    bool execCdb(port::OsHandle handle, const std::uint8_t* cdb, std::uint32_t cdbSize,
                 std::uint8_t* data, std::uint32_t dataSize, std::uint8_t*, std::uint8_t direction,
                 std::uint8_t lun, std::uint32_t timeoutMs) override {
        cdbs.emplace_back(cdb, cdb + cdbSize);
        handles.push_back(handle);
        dataSizes.push_back(dataSize);
        directions.push_back(direction);
        luns.push_back(lun);
        timeouts.push_back(timeoutMs);
        return answer ? answer(cdbs.back(), data, dataSize) : true;
    }

    Answer answer;
    std::vector<std::vector<std::uint8_t>> cdbs;
    std::vector<port::OsHandle> handles;
    std::vector<std::uint32_t> dataSizes;
    std::vector<std::uint8_t> directions;
    std::vector<std::uint8_t> luns;
    std::vector<std::uint32_t> timeouts;
};

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

}  // namespace nork::test
