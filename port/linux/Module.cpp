#include "port/Module.h"

#include <dlfcn.h>

#include <utility>

namespace nork::port {

Module::~Module() {
    unload();
}

Module::Module(Module&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_lastError(std::move(other.m_lastError)) {}

Module& Module::operator=(Module&& other) noexcept {
    if (this != &other) {
        unload();
        m_handle = std::exchange(other.m_handle, nullptr);
        m_lastError = std::move(other.m_lastError);
    }
    return *this;
}

PortError Module::load(const std::string& name) {
    unload();
    m_handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* text = ::dlerror();
        m_lastError = text != nullptr ? text : "";
        return PortError{PortErrc::NotFound, 0};
    }
    m_lastError.clear();
    return PortError::ok();
}

void* Module::symbol(const char* name) const {
    if (m_handle == nullptr || name == nullptr)
        return nullptr;
    return ::dlsym(m_handle, name);
}

void Module::unload() {
    if (m_handle != nullptr) {
        ::dlclose(m_handle);
        m_handle = nullptr;
    }
}

}  // namespace nork::port
