// The hidden-area page commands (HiddenArea.h describes the area and its
// password rules). Parameter bytes, little-endian:
//   0x60 HA__Write_Page            0-1 page; 512 bytes out
//   0x61 HA__Read_Page             0-1 page, 2-5 page mode (not looked at); 512 bytes in
//   0x62 HA__Write_Protected_Page  0-1 page, 2-8 write password; 512 bytes out
//   0x63 HA__Read_Protected_Page   0-1 page, 2-8 read password; 512 bytes in
//   0x64 HA__Set_Write_Password    0-1 page, 2-8 password
//   0x65 HA__Set_Read_Password     0-1 page, 2-8 password (zeros: none)
// Refusals carry each command's own device error reasons (below). Every page
// write counts towards the tear-page fault.
#include <algorithm>

#include "model/PrivateCommands.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace proto = nork::proto;

namespace {

// Reasons, by command (the low 16 bits of the device error code).
constexpr std::uint16_t ILLEGAL_PAGE_NUMBER = 0x0001;            // every command
constexpr std::uint16_t WRITE_PASSWORD_PROTECTED = 0x0002;       // 0x60
constexpr std::uint16_t WRITE_PAGE_STATE_UNKNOWN = 0x0004;       // 0x60
constexpr std::uint16_t READ_PASSWORD_PROTECTED = 0x0004;        // 0x61
constexpr std::uint16_t READ_PAGE_STATE_UNKNOWN = 0x0008;        // 0x61
constexpr std::uint16_t INCORRECT_PASSWORD = 0x0002;             // 0x62, 0x63
constexpr std::uint16_t PROTECTED_WRITE_STATE_UNKNOWN = 0x0008;  // 0x62
constexpr std::uint16_t PROTECTED_READ_STATE_UNKNOWN = 0x0004;   // 0x63
constexpr std::uint16_t PASSWORD_ALREADY_SET = 0x0002;           // 0x64, 0x65

std::uint16_t pageOf(const PrivateRequest& r) {
    return proto::getLE16(r.params.data());
}

PagePassword passwordOf(const PrivateRequest& r) {
    PagePassword p{};
    std::copy_n(r.params.begin() + 2, PAGE_PASSWORD_SIZE, p.begin());
    return p;
}

bool pageExists(DriveCore& drive, std::uint16_t page) {
    return page < drive.hiddenArea().pages();
}

// Writes one page, or tears it when the tear-page fault says so.
PrivateAnswer storePage(DriveCore& drive, const PrivateRequest& r, std::uint16_t stateUnknown) {
    const std::uint8_t* data = r.dataOut->data();
    const std::uint16_t page = pageOf(r);
    if (auto tear = drive.takePageTear()) {
        if (!tear->lost)
            drive.hiddenArea().writeTorn(page, data, tear->keepBytes);
        return PrivateAnswer::fail(stateUnknown);
    }
    if (!drive.hiddenArea().write(page, data))
        return PrivateAnswer::fail(stateUnknown);
    return PrivateAnswer::ok();
}

PrivateAnswer loadPage(DriveCore& drive, const PrivateRequest& r, std::uint16_t stateUnknown) {
    std::vector<std::uint8_t> page(HIDDEN_PAGE_SIZE, 0);
    if (!drive.hiddenArea().read(pageOf(r), page.data()))
        return PrivateAnswer::fail(stateUnknown);
    return PrivateAnswer::ok(std::move(page));
}

bool hasPageData(const PrivateRequest& r) {
    return r.dir == ScsiRequest::Out && r.dataOut->size() >= HIDDEN_PAGE_SIZE;
}

PrivateAnswer writePage(DriveCore& drive, const PrivateRequest& r) {
    if (!hasPageData(r))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    if (!pageExists(drive, pageOf(r)))
        return PrivateAnswer::fail(ILLEGAL_PAGE_NUMBER);
    const PagePasswords* p = drive.pagePasswords(pageOf(r));
    if (p && p->write)
        return PrivateAnswer::fail(WRITE_PASSWORD_PROTECTED);
    return storePage(drive, r, WRITE_PAGE_STATE_UNKNOWN);
}

PrivateAnswer readPage(DriveCore& drive, const PrivateRequest& r) {
    if (!pageExists(drive, pageOf(r)))
        return PrivateAnswer::fail(ILLEGAL_PAGE_NUMBER);
    const PagePasswords* p = drive.pagePasswords(pageOf(r));
    if (p && p->read)
        return PrivateAnswer::fail(READ_PASSWORD_PROTECTED);
    return loadPage(drive, r, READ_PAGE_STATE_UNKNOWN);
}

PrivateAnswer writeProtectedPage(DriveCore& drive, const PrivateRequest& r) {
    if (!hasPageData(r))
        return PrivateAnswer::fail(REASON_BAD_REQUEST);
    if (!pageExists(drive, pageOf(r)))
        return PrivateAnswer::fail(ILLEGAL_PAGE_NUMBER);
    const PagePasswords* p = drive.pagePasswords(pageOf(r));
    if (p && p->write && *p->write != passwordOf(r))
        return PrivateAnswer::fail(INCORRECT_PASSWORD);
    return storePage(drive, r, PROTECTED_WRITE_STATE_UNKNOWN);
}

PrivateAnswer readProtectedPage(DriveCore& drive, const PrivateRequest& r) {
    if (!pageExists(drive, pageOf(r)))
        return PrivateAnswer::fail(ILLEGAL_PAGE_NUMBER);
    const PagePasswords* p = drive.pagePasswords(pageOf(r));
    if (p && p->read && *p->read != passwordOf(r))
        return PrivateAnswer::fail(INCORRECT_PASSWORD);
    return loadPage(drive, r, PROTECTED_READ_STATE_UNKNOWN);
}

PrivateAnswer setPassword(DriveCore& drive, const PrivateRequest& r, bool write) {
    const std::uint16_t page = pageOf(r);
    if (!pageExists(drive, page))
        return PrivateAnswer::fail(ILLEGAL_PAGE_NUMBER);
    const PagePassword wanted = passwordOf(r);
    const PagePasswords* p = drive.pagePasswords(page);
    const std::optional<PagePassword> current = p ? (write ? p->write : p->read) : std::nullopt;
    const bool none =
        !write && std::all_of(wanted.begin(), wanted.end(), [](std::uint8_t b) { return b == 0; });
    if (current)
        return *current == wanted ? PrivateAnswer::ok() : PrivateAnswer::fail(PASSWORD_ALREADY_SET);
    if (!none)
        drive.setPagePassword(page, write, wanted);
    return PrivateAnswer::ok();
}

PrivateAnswer setWritePassword(DriveCore& drive, const PrivateRequest& r) {
    return setPassword(drive, r, true);
}

PrivateAnswer setReadPassword(DriveCore& drive, const PrivateRequest& r) {
    return setPassword(drive, r, false);
}

}  // namespace

void registerHiddenAreaCommands(PrivateCommandTable& table) {
    table.add(proto::qzop::HA_WRITE_PAGE, writePage);
    table.add(proto::qzop::HA_READ_PAGE, readPage);
    table.add(proto::qzop::HA_WRITE_PROTECTED_PAGE, writeProtectedPage);
    table.add(proto::qzop::HA_READ_PROTECTED_PAGE, readProtectedPage);
    table.add(proto::qzop::HA_SET_WRITE_PASSWORD, setWritePassword);
    table.add(proto::qzop::HA_SET_READ_PASSWORD, setReadPassword);
}

}  // namespace qzemu
