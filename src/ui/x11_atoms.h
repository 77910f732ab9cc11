#pragma once

#include <xcb/xcb.h>

#include <string_view>

namespace vask::ui {

// The atom X names `name` by on `connection`, made when none is; XCB_ATOM_NONE when the server
// does not answer.
xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name);

}  // namespace vask::ui
