// An application of the installed library: public headers only.
#include <SDK.h>
#include <Status.h>
#include <nork/Version.h>
#include <qz/Cookie.h>

#include <cstdio>
#include <string>

int main() {
    std::uint32_t settings = 0;
    if (nork::SDK::init(settings, {}) != nork::STATUS_OK)
        return 1;
    const std::u16string text = nork::statusToString(nork::STATUS_DEVICE_NOT_READY);
    nork::SDK::fini();
    std::printf("%s\n", std::string(text.begin(), text.end()).c_str());
    return text == u"Device is not ready" ? 0 : 2;
}
