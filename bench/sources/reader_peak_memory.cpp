// Reads one calendar or document file the way the file readers do, so that its peak memory can be
// measured from outside (/usr/bin/time -v), and writes the 1 MB files measured in the performance
// notes. Usage:
//   reader_peak_memory write-ics-repeating|write-ics-many|write-odt-prose|write-odt-spaces FILE
//   reader_peak_memory ics|odt FILE
// Hostile pages, images and RTF, each written at a size N (see hostileWriters):
//   reader_peak_memory write-pdf-saves|write-pdf-lines|write-pdf-slow-pages|write-tiff-claimed|
//                      write-webp-large|write-rtf-braces FILE N
//   reader_peak_memory pdf|image|rtf FILE
// A PDF asked about the way a question reaches it (the file access service: found, read, counted
// and drawn by the drawing program), with this process's own peak before and after, and the same
// file opened with poppler in this process, as the service did before it left PDFs to the
// drawing program:
//   reader_peak_memory write-pdf-claimed-xref FILE N
//   reader_peak_memory pdf-service|pdf-in-process FILE
// "pdf" draws up to ten pages the way the file access service does, each in the page drawing
// program (whose peak counts in the measure of its parent's children). The hostile HTML,
// document, vCard and calendar classes are in hostile_reader_classes.h.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include <webp/encode.h>

#include "hostile_reader_classes.h"
#include "pdf_fixture.h"
#include "platform/file_io.h"
#include "sources/file_access_service.h"
#include "sources/ics_calendar_parser.h"
#include "sources/image_converter.h"
#include "sources/page_drawer.h"
#include "sources/pdf_document.h"
#include "sources/rich_text_reader.h"
#include "sources/word_processor_reader.h"
#include "zip_fixture.h"

namespace {

using Time = vask::CalendarEvent::Time;

constexpr std::size_t kFileBytes = 1024 * 1024;
constexpr std::int64_t kYearStart = 1'704'067'200;  // 2024-01-01
constexpr std::int64_t kYearEnd = kYearStart + 366 * 86'400;

std::string calendar(const std::string& events) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Vask bench//EN\r\n" + events +
           "END:VCALENDAR\r\n";
}

// A property's value folded to lines of 75 bytes.
std::string folded(const std::string& name, const std::string& value) {
    std::string out = name + ":";
    for (std::size_t at = 0; at < value.size(); at += 74) {
        if (at > 0) {
            out += "\r\n ";
        }
        out += value.substr(at, 74);
    }
    return out + "\r\n";
}

// Words of a vocabulary of a few thousand, made of syllables and drawn in a fixed pseudo-random
// order: text that deflates about as well as prose does (about 3 to 1).
std::string prose(std::size_t bytes, std::uint32_t seed) {
    static constexpr std::string_view kSyllables[] = {
        "ba", "ler", "mon", "ti",  "sa", "ven", "do", "ric", "ka", "ly",  "pe", "tor", "an", "mi",
        "gu", "sel", "o",   "ran", "de", "wis", "ch", "ell", "nu", "pra", "st", "im",  "fo", "qu"};
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < bytes) {
        const auto syllables = 1 + random() % 4;
        for (std::uint32_t i = 0; i < syllables; ++i) {
            out += kSyllables[random() % std::size(kSyllables)];
        }
        out += random() % 12 == 0 ? ". " : " ";
    }
    out.resize(bytes);
    return out;
}

std::string repeatingIcs() {
    // One event every two hours for a year, its notes filling the file.
    const auto notes = prose(kFileBytes - 400, 1);
    return calendar(
        "BEGIN:VEVENT\r\nUID:every-two-hours\r\nDTSTAMP:20240101T000000Z\r\n"
        "DTSTART:20240101T000000Z\r\nDURATION:PT30M\r\nRRULE:FREQ=HOURLY;INTERVAL=2\r\n"
        "SUMMARY:Check\r\n" +
        folded("DESCRIPTION", notes) + "END:VEVENT\r\n");
}

std::string manyEventsIcs() {
    std::string events;
    for (int i = 0; events.size() < kFileBytes - 600; ++i) {
        const int day = 1 + i % 28;
        const int month = 1 + (i / 28) % 12;
        char start[32];
        std::snprintf(start, sizeof start, "2024%02d%02dT%02d0000Z", month, day, 8 + i % 10);
        events += "BEGIN:VEVENT\r\nUID:event-" + std::to_string(i) +
                  "\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:" + start + "\r\nDURATION:PT1H\r\n" +
                  (i % 10 == 0 ? "RRULE:FREQ=WEEKLY;COUNT=20\r\n" : "") +
                  "SUMMARY:" + prose(30, static_cast<std::uint32_t>(i)) + "\r\n" +
                  folded("DESCRIPTION", prose(300, static_cast<std::uint32_t>(i) + 7)) +
                  "END:VEVENT\r\n";
    }
    return calendar(events);
}

std::string odt(const std::string& body) {
    return vask::test::odtDocument(body);
}

// Paragraphs of prose added until the archive reaches the size.
std::string proseOdt() {
    std::string body;
    std::string archive;
    for (std::uint32_t i = 0;; ++i) {
        body += "<text:p>" + prose(600, i) + "</text:p>";
        if (i % 500 == 0 && (archive = odt(body)).size() >= kFileBytes) {
            return archive;
        }
    }
}

// Space elements, each standing for 1,024 spaces, in markup just within the reader's cap: the
// text it stands for (over 2.7 GB) is what must be refused.
std::string spacesOdt() {
    const std::string element = "<text:s text:c=\"1024\"/>";
    const auto count = (vask::WordProcessorReader::kMaxEntryBytes - 4096) / element.size();
    std::string body = "<text:p>";
    body.reserve(count * element.size() + 32);
    for (std::size_t i = 0; i < count; ++i) {
        body += element;
    }
    return odt(body + "</text:p>");
}

// --- Hostile pages, images and RTF, written at a size `n`.

void appendLe(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// A TIFF header and directory claiming n x n RGB pixels in one strip that is not in the file.
std::string claimedTiff(std::size_t n) {
    const auto side = static_cast<std::uint32_t>(n);
    std::string out("II*\0", 4);
    appendLe(out, 8, 4);
    const std::uint32_t entries[][3] = {{256, 4, side}, {257, 4, side}, {258, 3, 8},
                                        {259, 3, 1},    {262, 3, 2},    {273, 4, 4096},
                                        {277, 3, 3},    {278, 4, side}, {279, 4, side * side * 3}};
    appendLe(out, static_cast<std::uint32_t>(std::size(entries)), 2);
    for (const auto& entry : entries) {
        appendLe(out, entry[0], 2);
        appendLe(out, entry[1], 2);
        appendLe(out, 1, 4);
        appendLe(out, entry[2], 4);
    }
    appendLe(out, 0, 4);
    return out;
}

// A lossy WebP of n x n pixels of one colour: a few kilobytes that claim n * n * 4 bytes.
std::string largeWebp(std::size_t n) {
    const auto side = static_cast<int>(n);
    std::vector<std::uint8_t> rgb(n * n * 3, 200);
    std::uint8_t* out = nullptr;
    const auto size = WebPEncodeRGB(rgb.data(), side, side, side * 3, 50, &out);
    std::string bytes(reinterpret_cast<const char*>(out), size);
    WebPFree(out);
    return bytes;
}

std::string rtfBraces(std::size_t n) {
    return "{\\rtf1 " + std::string(n, '{') + " deep" + std::string(n, '}') + " after}";
}

int readHostile(std::string_view command, const std::string& bytes) {
    const auto start = std::chrono::steady_clock::now();
    std::string outcome;
    if (command == "pdf") {
        vask::PageDrawer::Options options;
        options.program = VASK_PAGE_DRAWER;
        const vask::PageDrawer drawer(bytes, options);
        // Counted in the drawing program, as the file access service counts them.
        const int pages = drawer.pageCount();
        for (int page = 0; page < std::min(10, pages); ++page) {
            const auto drawn = drawer.draw(page);
            outcome += "page " + std::to_string(page + 1) + ": " +
                       (drawn.png ? std::to_string(drawn.png->size()) + " bytes of PNG"
                                  : "refused: " + drawn.refusal.value_or("none")) +
                       "; ";
        }
    } else if (command == "image") {
        const auto png = vask::ImageConverter::toPNG(bytes);
        outcome = png ? std::to_string(png->size()) + " bytes of PNG" : "not converted";
    } else {
        const auto text = vask::RichTextReader::rtfText(bytes);
        outcome = std::to_string(text ? text->size() : 0) + " bytes of text";
    }
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    std::cout << bytes.size() << " bytes read: " << outcome << " in " << elapsed.count() << " s\n";
    return 0;
}

const std::map<std::string_view, std::string (*)(std::size_t)> hostileWriters{
    {"write-pdf-saves", [](std::size_t n) { return vask::test::nestedSavesPdf(n); }},
    {"write-pdf-lines", [](std::size_t n) { return vask::test::manyLinesPdf(n); }},
    {"write-pdf-slow-pages", [](std::size_t n) { return vask::test::slowPagesPdf(n); }},
    {"write-pdf-claimed-xref", [](std::size_t n) { return vask::test::claimedXrefPdf(n); }},
    {"write-tiff-claimed", claimedTiff},
    {"write-webp-large", largeWebp},
    {"write-rtf-braces", rtfBraces},
};

// This process's peak resident memory so far, in MB.
double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

class AnyVision final : public vask::VisionParserProviding {
  public:
    vask::VisionParseOutput parseMarkdown(std::string_view, std::string_view, std::string_view,
                                          std::string_view filename,
                                          const std::optional<std::string>&,
                                          std::stop_token) const override {
        return {"text of " + std::string(filename), 0};
    }
    std::set<std::string> fetchVisionModels(std::stop_token) const override { return {}; }
};

// The file, under the name "asked-about.pdf" in an allowed folder, through the file access
// service's prefetch for "asked about".
int askThroughService(const std::string& bytes) {
    namespace fs = std::filesystem;
    std::string name = (fs::temp_directory_path() / "vask-peak-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) {
        return 1;
    }
    const fs::path folder = name;
    fs::create_directories(folder / "home" / "Documents");
    std::ofstream(folder / "home" / "Documents" / "asked-about.pdf", std::ios::binary) << bytes;
    vask::FileAccessConfig config;
    config.allowedScopes = {"~/Documents"};
    vask::FileAccessService::Options options;
    options.search.commandPath = folder / "no-mdfind";
    options.environment = {{"HOME", (folder / "home").string()}};
    options.pageDrawer.program = VASK_PAGE_DRAWER;
    const double before = peakMegabytes();
    const auto start = std::chrono::steady_clock::now();
    std::int64_t cached = 0;
    {
        vask::FileAccessService service(folder / "shadow.db", config, std::make_shared<AnyVision>(),
                                        options);
        cached = service.prefetch("asked about");
    }
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    std::cout << bytes.size() << " bytes asked about: " << cached << " file(s) cached in "
              << elapsed.count() << " s; this process's peak " << before << " MB before, "
              << peakMegabytes() << " MB after\n";
    fs::remove_all(folder);
    return 0;
}

int openInProcess(const std::string& bytes) {
    const double before = peakMegabytes();
    const auto document = vask::PdfDocument::fromData(bytes);
    std::cout << bytes.size() << " bytes opened with poppler in this process: "
              << (document ? std::to_string(document->pageCount()) + " page(s)" : "not opened")
              << "; this process's peak " << before << " MB before, " << peakMegabytes()
              << " MB after\n";
    return 0;
}

int hostile(int argc, char** argv) {
    const std::string_view command = argv[1];
    if (const auto writer = hostileWriters.find(command); writer != hostileWriters.end()) {
        const auto bytes = writer->second(std::stoull(argv[3]));
        std::ofstream(argv[2], std::ios::binary) << bytes;
        std::cout << bytes.size() << " bytes written\n";
        return 0;
    }
    (void)argc;
    const auto bytes = vask::readFileIfExists(argv[2]);
    if (!bytes) {
        std::cerr << "reader_peak_memory: no file at " << argv[2] << "\n";
        return 1;
    }
    if (command == "pdf-service") {
        return askThroughService(*bytes);
    }
    if (command == "pdf-in-process") {
        return openInProcess(*bytes);
    }
    return readHostile(command, *bytes);
}

bool isHostileCommand(int argc, char** argv) {
    if (argc == 4) {
        return hostileWriters.contains(argv[1]);
    }
    const std::string_view command = argc == 3 ? argv[1] : "";
    return command == "pdf" || command == "image" || command == "rtf" || command == "pdf-service" ||
           command == "pdf-in-process";
}

}  // namespace

int main(int argc, char** argv) {
    if (isHostileCommand(argc, argv)) {
        return hostile(argc, argv);
    }
    if (const auto status = vask::bench::runHostileReaderCommand(argc, argv)) {
        return *status;
    }
    const std::string_view command = argc == 3 ? argv[1] : "";
    const std::map<std::string_view, std::string (*)()> writers{
        {"write-ics-repeating", repeatingIcs},
        {"write-ics-many", manyEventsIcs},
        {"write-odt-prose", proseOdt},
        {"write-odt-spaces", spacesOdt}};
    if (command != "ics" && command != "odt" && !writers.contains(command)) {
        std::cerr << "usage: reader_peak_memory write-ics-repeating|write-ics-many|"
                     "write-odt-prose|write-odt-spaces|ics|odt FILE\n";
        return 2;
    }
    if (const auto writer = writers.find(command); writer != writers.end()) {
        const auto bytes = writer->second();
        std::ofstream(argv[2], std::ios::binary) << bytes;
        std::cout << bytes.size() << " bytes written\n";
        return 0;
    }
    // The whole file in a string of its own size, as the file readers hold it.
    std::string bytes;
    try {
        auto read = vask::readFileIfExists(argv[2]);
        if (!read) {
            std::cerr << "reader_peak_memory: no file at " << argv[2] << "\n";
            return 1;
        }
        bytes = std::move(*read);
    } catch (const std::exception& error) {
        std::cerr << "reader_peak_memory: " << error.what() << "\n";
        return 1;
    }
    if (command == "ics") {
        const auto events = vask::IcsCalendarParser::occurrences(
            bytes, "Bench", Time(std::chrono::seconds(kYearStart)),
            Time(std::chrono::seconds(kYearEnd)), "bench.ics");
        std::size_t textBytes = 0;
        for (const auto& event : events) {
            textBytes += event.notes.value_or("").size();
        }
        std::cout << bytes.size() << " bytes read: " << events.size() << " occurrences, "
                  << textBytes << " bytes of notes\n";
        return 0;
    }
    try {
        const auto text = vask::WordProcessorReader::documentText(bytes);
        std::cout << bytes.size() << " bytes read: " << (text ? text->size() : 0)
                  << " bytes of text\n";
    } catch (const vask::WordProcessorReaderError& error) {
        std::cout << bytes.size() << " bytes read: refused: " << error.what() << "\n";
    }
    return 0;
}
