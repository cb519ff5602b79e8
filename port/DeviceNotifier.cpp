// Provisional: the contract of DeviceNotifier.h without a thread.
#include "port/DeviceNotifier.h"

namespace nork::port {

struct DeviceNotifier::Impl {};

DeviceNotifier::DeviceNotifier() = default;
DeviceNotifier::~DeviceNotifier() = default;
bool DeviceNotifier::start(HWND, Filter) {
    return false;
}
void DeviceNotifier::stop() {}
bool DeviceNotifier::running() const {
    return false;
}
void DeviceNotifier::poke() {}
std::unique_ptr<IChangeSource> makeUdevChangeSource() {
    return nullptr;
}
void addChangeSourceFactory(std::unique_ptr<IChangeSource> (*)()) {}

}  // namespace nork::port
