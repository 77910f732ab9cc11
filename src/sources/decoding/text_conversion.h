#pragma once

#include <unicode/ucnv.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

// Conversion of text from an encoding to UTF-8, shared by the Unicode front end of text decoding,
// the guess of a legacy encoding and the reading of mostly UTF-8 text: ICU's converters, and
// glibc's iconv for the encodings ICU lacks.
namespace vask::decoding {

using ConverterPtr = std::unique_ptr<UConverter, decltype(&ucnv_close)>;

enum class OnInvalid { fail, replace };

// What becomes of a last character the bytes end inside: what the rest of the conversion does
// (it fails it or replaces it), nothing (the bytes are a sample of a longer text, which goes on
// past them) or U+FFFD (a text cut short, which does not make its encoding wrong).
enum class CutEnd { asInvalid, dropped, replaced };

// Whether an encoding is converted by glibc's iconv, which ICU has no converter for
// (ISO-8859-16).
bool isIconvEncoding(std::string_view encoding);

// `bytes` in `encoding` as UTF-8, straight through a small pivot (no copy of the text in UTF-16
// is held besides the result); what does not convert fails the conversion or reads as U+FFFD,
// and a last character the bytes end inside as `cutEnd` says. Nothing when the encoding is
// unknown.
// A stop requested ends the conversion between two megabytes (`throwIfStopRequested`).
std::optional<std::string> toUtf8(std::string_view bytes, const char* encoding, OnInvalid onInvalid,
                                  CutEnd cutEnd = CutEnd::asInvalid,
                                  const std::stop_token& stop = {});

// The text in NFC, when there is one, composed where it stands (no second copy of a long text);
// a long text a megabyte at a time (between lines), a stop requested ending it between two.
std::optional<std::string> composed(std::optional<std::string> text,
                                    const std::stop_token& stop = {});

// Throws vask::Error when a stop was requested: a decoding asked to stop ends as a reading that
// was cancelled.
void throwIfStopRequested(const std::stop_token& stop);

// Looks at a stop token once for every 64 KB of bytes a walk over a text tells it of, so a long
// walk ends soon after a stop is requested at the cost of a look now and then.
class StopPoll {
  public:
    explicit StopPoll(const std::stop_token& stop) : stop_(stop) {}

    void passed(std::size_t bytes) {
        since_ += bytes;
        if (since_ >= kBytesForEachLook) {
            since_ = 0;
            throwIfStopRequested(stop_);
        }
    }

  private:
    static constexpr std::size_t kBytesForEachLook = std::size_t{64} * 1024;
    const std::stop_token& stop_;
    std::size_t since_ = 0;
};

// The bytes the conversions of this thread have read so far, each as many times as it was
// converted: what the work of a decoding is measured by (it grows with the text, not faster).
std::uint64_t convertedBytes();

// Adds to `convertedBytes` what a conversion outside `toUtf8` reads.
void countConverted(std::size_t bytes);

}  // namespace vask::decoding
