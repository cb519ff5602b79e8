#include "qz/Cookie.h"

#include "CookieImpl.h"
#include "StringConvertor.h"

namespace nork::qz {

CCookieImpl* CCookie::implementation() const {
    return dynamic_cast<CCookieImpl*>(impl().get());
}

STATUS CCookie::getInt(std::u16string_view section, std::u16string_view key,
                       std::int32_t& value) const {
    return guarded("CCookie::getInt", [&]() -> STATUS {
        CCookieImpl* service = implementation();
        if (service == nullptr)
            return STATUS_COMMAND_NOT_SUPPORTED;
        TStringConvertor<UTF16ToUTF8> sectionUtf8(section);
        TStringConvertor<UTF16ToUTF8> keyUtf8(key);
        if (sectionUtf8.conversionStatus() != STATUS_OK ||
            keyUtf8.conversionStatus() != STATUS_OK) {
            return STATUS_SDK_INTERNAL_ERROR;
        }
        const std::string s(sectionUtf8.convertedData(), sectionUtf8.convertedSize());
        const std::string k(keyUtf8.convertedData(), keyUtf8.convertedSize());
        return service->getInt(s.c_str(), k.c_str(), value);
    });
}

}  // namespace nork::qz
