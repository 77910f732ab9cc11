#include "ui/x11_atoms.h"

#include <cstdint>
#include <cstdlib>

namespace vask::ui {

xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name) {
    auto* reply = xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr);
    xcb_atom_t atom = XCB_ATOM_NONE;
    if (reply != nullptr) {
        atom = reply->atom;
    }
    std::free(reply);
    return atom;
}

}  // namespace vask::ui
