#include "UFD.h"

#include <algorithm>

#include "Log.h"
#include "MaskConvert.h"
#include "UFDImpl.h"

namespace nork {

STATUS CUFD::getVersion(char16_t* buffer, std::uint32_t& length) const {
    try {
        if (m_impl == nullptr)
            return STATUS_DEVICE_NOT_CONNECTED;
        const STATUS refreshed = m_impl->refreshVersion();
        if (refreshed != STATUS_OK)
            return refreshed;
        if (buffer == nullptr || length == 0)
            return STATUS_WRONG_PARAMETERS;
        const std::u16string text = m_impl->version().toString();
        if (text.empty())
            return STATUS_SDK_INTERNAL_ERROR;
        const std::uint32_t callerLength = length;
        length = static_cast<std::uint32_t>(text.size() + 1);
        if (callerLength < length)
            return STATUS_BUFFER_TOO_SMALL;
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = u'\0';
        return STATUS_OK;
    } catch (...) {
        NORK_LOG(LOG_ERROR, "CUFD::getVersion - internal error");
        return STATUS_SDK_INTERNAL_ERROR;
    }
}

STATUS CUFD::getPathStrings(char16_t* buffer, std::uint32_t& length) const {
    try {
        if (m_impl == nullptr)
            return STATUS_DEVICE_NOT_CONNECTED;
        const std::uint32_t mask = m_impl->driveMask();
        const std::uint32_t needed = CMaskConvert::neededLength(mask);
        if (length < needed) {
            length = needed;
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (buffer == nullptr)
            return STATUS_WRONG_PARAMETERS;
        std::fill(buffer, buffer + length, u'\0');
        const STATUS status = platformMaskConvert().maskToRootPaths(mask, buffer, length);
        if (status == STATUS_OK && buffer[0] == u'\0')
            return STATUS_PATH_ERROR;
        return status;
    } catch (...) {
        NORK_LOG(LOG_ERROR, "CUFD::getPathStrings - internal error");
        return STATUS_SDK_INTERNAL_ERROR;
    }
}

}  // namespace nork
