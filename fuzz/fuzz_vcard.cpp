// Feeds arbitrary bytes to the vCard reader as a file's contents. Whatever the encoding the file
// claims, every text of every card must come out as UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/text.h"
#include "quiet_log.h"
#include "sources/vcard_parser.h"

namespace {

void requireUtf8(std::string_view text) {
    if (!vask::text::isValidUtf8(text)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Cards past a text's bound are logged; the log is not what is tested.
    vask::fuzz::silenceLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& contact : vask::VCardParser::parse(text)) {
        for (const auto& field :
             {contact.identifier, contact.givenName, contact.familyName, contact.organizationName,
              contact.jobTitle, contact.formattedName}) {
            requireUtf8(field);
        }
        for (const auto& number : contact.phoneNumbers) {
            requireUtf8(number);
        }
        for (const auto& address : contact.emailAddresses) {
            requireUtf8(address);
        }
    }
    return 0;
}
