#pragma once

#include <chrono>
#include <optional>

namespace vask {

using RecordDate = std::chrono::system_clock::time_point;

// Dates of chat records: seconds since 2001-01-01 00:00:00 UTC in JSON, seconds since 1970 in the
// sessions database. A stored value read back and written again gives the same double, so an
// unchanged message encodes to the same bytes after a reload.
namespace record_date {

double referenceSeconds(RecordDate date);
// Nothing for a value that is not finite or lies outside what the clock can hold.
std::optional<RecordDate> fromReferenceSeconds(double seconds);

double unixSeconds(RecordDate date);
std::optional<RecordDate> fromUnixSeconds(double seconds);

}  // namespace record_date
}  // namespace vask
