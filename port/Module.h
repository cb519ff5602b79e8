// Loading a shared library at run time and finding its functions.
//
// Used by executors that depend on an optional system library (the ASPI
// library of one old platform) and by programs that load an extension by
// name. On Linux the backend is dlopen/dlsym/dlclose; a name without a slash
// is searched on the usual library path, so a Windows library name such as
// "wnaspi32.dll" simply fails to load, as on a system that lacks it.
//
// A Module is owned by one object; loading and unloading may block on the
// system's loader lock, symbol look-up does not. Not thread-safe per object.
#pragma once

#include <string>

#include "port/PortError.h"

namespace nork::port {

class Module {
  public:
    Module() = default;
    ~Module();  // unloads
    Module(Module&& other) noexcept;
    Module& operator=(Module&& other) noexcept;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Loads a library by name or path, unloading any library held before.
    // Fails with NotFound when the loader cannot find or load it; the
    // loader's own message is kept in lastErrorText().
    PortError load(const std::string& name);

    bool isLoaded() const { return m_handle != nullptr; }

    // Address of an exported symbol, or nullptr when missing or not loaded.
    void* symbol(const char* name) const;

    // Unloads; does nothing when nothing is loaded.
    void unload();

    const std::string& lastErrorText() const { return m_lastError; }

  private:
    void* m_handle = nullptr;
    std::string m_lastError;
};

}  // namespace nork::port
