// Where the emulator daemon's socket and state live: what the library needs
// to find a daemon, and what the emulator's programs use by default.
//
// Every function reads the environment on each call, never blocks and never
// throws.
#pragma once

#include <string>

namespace nork::port::emu {

// The daemon's socket: $QZ_EMU_SOCKET, else $XDG_RUNTIME_DIR/qzemu/qzemud.sock,
// else /tmp/qzemu-<uid>/qzemud.sock.
std::string defaultSocketPath();

// The daemon's state root: $XDG_STATE_HOME/qzemu, else
// $HOME/.local/state/qzemu, else ./.local/state/qzemu.
std::string defaultStateDir();

// Whether a file (of any kind) exists at path.
bool pathExists(const std::string& path);

}  // namespace nork::port::emu
