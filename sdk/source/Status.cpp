#include "Status.h"

namespace nork {

const char16_t* statusToString(STATUS status) noexcept {
    switch (status) {
        case STATUS_OK:
            return u"Ok";
        case STATUS_OK_ALREADY_IN_STATE:
            return u"Ok, the device is already in the requested state";
        case STATUS_WRONG_PARAMETERS:
            return u"Wrong parameters";
        case STATUS_WRONG_DEVICE_STATE:
            return u"Device is not in the required state";
        case STATUS_CONFIGURATION_ERROR:
            return u"Configuration Error";
        case STATUS_PATH_ERROR:
            return u"Path error";
        case STATUS_ERROR:
            return u"Error occured";
        case STATUS_SDK_INTERNAL_ERROR:
            return u"SDK internal error";
        case STATUS_STRING_CONVERSION_ERROR:
            return u"String conversion error";
        case STATUS_DOMAIN_TYPE_NOT_SUPPORTED:
            return u"Domain Type not supported";
        case STATUS_ILLEGAL_DOMAIN_ADDRESS:
            return u"Illegal domain address or address is not in range";
        case STATUS_TOO_MANY_DOMAINS:
            return u"Trying to configure more domains than possible";
        case STATUS_DOMAINS_EXCEED_CAPACITY:
            return u"The sum of the domain capacities is larger than the toal device capacity";
        case STATUS_OS_NOT_SUPPORTED:
            return u"Operating System is not supported";
        case STATUS_COMMUNICATION_FAILURE:
            return u"Communication failure";
        case STATUS_AUTHENTICATION_FAILURE:
            return u"Authentication failure";
        case STATUS_DEVICE_LOCK_FAILURE:
            return u"Device lock failure";
        case STATUS_FORMAT_FAILURE:
            return u"Format failure";
        case STATUS_HINT_FAILURE:
            return u"Hint failure";
        case STATUS_FS_REFRESH_FAILURE:
            return u"Failed to refresh the file system no the device";
        case STATUS_SECURE_SESSION_FAILED:
            return u"Secure session failed";
        case STATUS_SS_CD_OWNER_NEEDED:
            return u"Secure session CD owner type is needed";
        case STATUS_SS_NOT_INITIALIZED:
            return u"Secure session not initialized";
        case STATUS_PRIVATE_AREA_LOGIN_FAILED:
            return u"Failed to login private area";
        case STATUS_DEVICE_NOT_CONNECTED:
            return u"Device is not connected";
        case STATUS_DEVICE_NOT_READY:
            return u"Device is not ready";
        case STATUS_DEVICE_WRITE_PROTECTED:
            return u"Device is not writable (write protected)";
        case STATUS_PRIVATE_AREA_EXISTS:
            return u"Cannot configure device while a private area exists";
        case STATUS_CD_DOMAIN_LOCKED:
            return u"Cannot configure device while a CD domain is locked";
        case STATUS_HIDDEN_AREA_FULL:
            return u"Hidden area is full";
        case STATUS_DATA_NOT_FOUND:
            return u"Data not found";
        case STATUS_OPERATION_NOT_COMPLETED:
            return u"Operation is not completed";
        case STATUS_WRONG_HIDDEN_AREA_VERSION:
            return u"Wrong hidden area version";
        case STATUS_BUFFER_TOO_SMALL:
            return u"Buffer too small";
        case STATUS_COMMAND_NOT_SUPPORTED:
            return u"Command is not supported";
        case STATUS_NOT_SUPPORTED_NON_ADMIN:
            return u"The operation is not supported in non-admin mode";
        case STATUS_DOMAIN_NOT_FOUND:
            return u"The requested domain cannot be found";
        case STATUS_CONFIGURATION_NOT_ALLOWED:
            return u"Configuration is not allowed for the current device state";
        case STATUS_SINGLE_DOMAIN_RESIZE_NOT_ALLOWED:
            return u"Updating a single domain size is not allowed";
        // No text of their own: they fall through to the default.
        case STATUS_STORAGE_DRIVER_TOO_OLD:
        case STATUS_WRONG_DATA_LENGTH:
            break;
    }
    return u"Unknown status";
}

}  // namespace nork
