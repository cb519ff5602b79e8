#include "restore/QzLog.h"

#include "port/System.h"
#include "port/Utf.h"

namespace nork::restore {

QzLog& QzLog::instance() {
    static QzLog log;
    return log;
}

void QzLog::init(const std::u16string& applicationName) {
    name_ = applicationName;
}

void QzLog::write(std::uint32_t, const std::u16string& line) {
    port::debugOutput(port::utf::toUtf8(name_ + u": " + line));
}

}  // namespace nork::restore
