#include "hostile_reader_classes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "encoded_text.h"
#include "platform/file_io.h"
#include "sources/decoding/text_decoding.h"
#include "sources/rich_text_reader.h"
#include "sources/vcard_parser.h"
#include "sources/word_processor_reader.h"
#include "zip_fixture.h"

extern char** environ;

namespace vask::bench {
namespace {

std::string repeated(std::string_view unit, std::size_t count) {
    std::string out;
    out.reserve(unit.size() * count);
    for (std::size_t i = 0; i < count; ++i) {
        out += unit;
    }
    return out;
}

// " a0=v a1=v ..." in HTML, or with quoted values in XML.
std::string attributes(std::size_t count, bool quoted) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += " a" + std::to_string(i) + (quoted ? "=\"v\"" : "=v");
    }
    return out;
}

std::string calendar(const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Vask bench//EN\r\n" + body +
           "END:VCALENDAR\r\n";
}

// A class of hostile input: what reads it, and its text for COUNT units.
struct HostileClass {
    std::string reader;
    std::function<std::string(std::size_t)> write;
    // The two sizes the table measures, in units.
    std::size_t small;
    std::size_t large;
    const char* description;
};

// The lines of the text files, and the size of the larger ones (the 64 MiB files are read up to).
constexpr std::size_t kTextBytes = std::size_t{64} * 1024 * 1024;
constexpr std::string_view kRussianLine = "Привет, мир! Как дела? Всё хорошо, спасибо.\n";
constexpr std::string_view kThaiLine = "การประชุมพรุ่งนี้เริ่มบ่ายสามโมง กรุณานำเอกสารมาด้วยนะครับ\n";
constexpr std::string_view kVietnameseLine =
    "Cuô\u0323c ho\u0323p lu\u0301c ba giơ\u0300 chiê\u0300u nay nhe\u0301.\n";
constexpr std::string_view kWesternRow = "Hélène Dupré;Genève;répertoire créé l'été dernier;\n";

// A text file of `count` lines in `encoding` (ICU's name), each line `line` (UTF-8).
std::string textLines(std::string_view line, const char* encoding, std::size_t count) {
    return repeated(test::encodedAs(line, encoding), count);
}

const std::map<std::string, HostileClass, std::less<>>& classes() {
    static const std::map<std::string, HostileClass, std::less<>> all = {
        // Text as the file readers decode it (Unicode first, then the guess), the larger file at
        // the 64 MiB files are read up to.
        {"text-windows-1251",
         {"text", [](std::size_t n) { return textLines(kRussianLine, "windows-1251", n); },
          kTextBytes / 10 / 44, kTextBytes / 44,
          "Russian in windows-1251, two bytes of UTF-8 a byte"}},
        {"text-windows-874",
         {"text", [](std::size_t n) { return textLines(kThaiLine, "windows-874", n); },
          kTextBytes / 10 / 59, kTextBytes / 59,
          "Thai in windows-874, three bytes of UTF-8 a byte"}},
        {"text-windows-1258",
         {"text", [](std::size_t n) { return textLines(kVietnameseLine, "windows-1258", n); },
          kTextBytes / 10 / 41, kTextBytes / 41, "Vietnamese in windows-1258, its tones composed"}},
        {"text-utf8-pasted-1252",
         {"text",
          [](std::size_t n) {
              // Nine UTF-8 rows for each windows-1252 row.
              return repeated(
                  repeated(kWesternRow, 9) + test::encodedAs(kWesternRow, "windows-1252"), n / 10);
          },
          kTextBytes / 10 / 60, kTextBytes / 60,
          "UTF-8 rows with windows-1252 rows pasted among them"}},
        {"text-utf8-pasted-1251",
         {"text",
          [](std::size_t n) {
              // As many windows-1251 lines as UTF-8 lines.
              return repeated(
                  std::string(kRussianLine) + test::encodedAs(kRussianLine, "windows-1251"), n / 2);
          },
          kTextBytes / 10 / 60, kTextBytes / 60,
          "UTF-8 lines and as many windows-1251 lines, one after the other"}},
        {"html-br",
         {"html",
          [](std::size_t n) { return "<html><body>" + repeated("<br>", n) + "</body></html>"; },
          1'677'721, 16'777'216, "a page of `<br>` (4 bytes each)"}},
        {"html-cdata-gt",
         {"html",
          [](std::size_t n) {
              return "<html><body><![CDATA[ x ><p" + attributes(n, false) +
                     ">text</p>]]></body></html>";
          },
          100'000, 1'000'000, "many attributes after `<![CDATA[ x >`"}},
        {"html-comment-bang",
         {"html",
          [](std::size_t n) {
              return "<html><body><!-- x --!><p" + attributes(n, false) + ">text</p></body></html>";
          },
          100'000, 1'000'000, "many attributes after `<!-- x --!>`"}},
        {"docx-entity-attributes",
         {"doc",
          [](std::size_t n) {
              std::string entity = attributes(n, true);
              std::replace(entity.begin(), entity.end(), '"', '\'');
              return test::zipArchive(
                  {{"word/document.xml",
                    "<?xml version=\"1.0\"?><!DOCTYPE w:document [<!ENTITY e \"<w:r" + entity +
                        "><w:t>x</w:t></w:r>\">]><w:document xmlns:w=\"http://schemas."
                        "openxmlformats.org/wordprocessingml/2006/main\"><w:body><w:p>&e;&e;"
                        "</w:p></w:body></w:document>"}});
          },
          100'000, 1'000'000, "an entity of one element of many attributes, used twice (.docx)"}},
        {"html-attributes",
         {"html",
          [](std::size_t n) {
              return "<html><body><p" + attributes(n, false) + ">text</p></body></html>";
          },
          80'000, 800'000, "one element of many attributes"}},
        {"html-nested-reversed-lists",
         {"html",
          [](std::size_t n) {
              return "<html><body>" + repeated("<ol reversed><li>x", n) + "</body></html>";
          },
          100'000, 1'000'000, "reversed lists nested in one another, their items counted ahead"}},
        {"html-reversed-lists-quoted-gt",
         {"html",
          [](std::size_t n) {
              return "<html><body>" + repeated("<ol reversed title='>'><li>x", n) +
                     "</body></html>";
          },
          100'000, 1'000'000, "nested reversed lists whose tags the count ahead misreads"}},
        {"docx-deep-style-chain",
         {"doc",
          [](std::size_t n) {
              std::string styles;
              for (std::size_t i = 0; i < n; ++i) {
                  styles += "<w:style w:type=\"paragraph\" w:styleId=\"s" + std::to_string(i + 1) +
                            "\"><w:basedOn w:val=\"s" + std::to_string(i) + "\"/></w:style>";
              }
              const std::string ns =
                  "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"";
              return test::zipArchive(
                  {{"word/styles.xml", "<w:styles " + ns + ">" + styles + "</w:styles>"},
                   {"word/document.xml",
                    "<w:document " + ns + "><w:body>" +
                        repeated("<w:p><w:pPr><w:pStyle w:val=\"s" + std::to_string(n) +
                                     "\"/></w:pPr><w:r><w:t>x</w:t></w:r></w:p>",
                                 n) +
                        "</w:body></w:document>"}});
          },
          20'000, 200'000, "paragraphs of a style based on a chain of as many (.docx)"}},
        {"docx-nested-empty",
         {"doc",
          [](std::size_t n) {
              return test::docxDocument("<w:p><w:r><w:t>outer</w:t></w:r>" + repeated("<w:p/>", n) +
                                        "</w:p>");
          },
          1'100'000, 11'000'000, "empty paragraphs nested in one (.docx)"}},
        {"odt-nested-empty",
         {"doc",
          [](std::size_t n) {
              return test::odtDocument("<text:p>outer" + repeated("<text:p/>", n) + "</text:p>");
          },
          700'000, 7'000'000, "empty paragraphs nested in one (.odt)"}},
        {"odt-many-languages",
         {"doc",
          [](std::size_t n) {
              // A one-item list of each of as many list styles, each naming a language tag of
              // its own that resolves to one of three locales: numbers in words.
              const std::string_view bases[] = {"de", "fr-CH", "es"};
              std::string styles;
              std::string lists;
              for (std::size_t i = 0; i < n; ++i) {
                  const auto name = "L" + std::to_string(i);
                  styles += "<text:list-style style:name=\"" + name +
                            "\"><text:list-level-style-number text:level=\"1\" "
                            "style:num-format=\"One\" fo:language=\"" +
                            std::string(bases[i % 3]) + "-x-v" + std::to_string(i) +
                            "\"/></text:list-style>";
                  lists += "<text:list text:style-name=\"" + name +
                           "\"><text:list-item><text:p>x</text:p></text:list-item></text:list>";
              }
              return test::zipArchive(
                  {{"mimetype", "application/vnd.oasis.opendocument.text"},
                   {"content.xml",
                    "<office:document-content "
                    "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                    "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
                    "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
                    "xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\">"
                    "<office:automatic-styles>" +
                        styles + "</office:automatic-styles><office:body><office:text>" + lists +
                        "</office:text></office:body></office:document-content>"}});
          },
          200, 2'000, "one-item lists in words, each naming a language tag of its own (.odt)"}},
        {"docx-long-paragraph",
         {"doc",
          [](std::size_t n) {
              return test::docxDocument(
                  "<w:p>" + repeated("<w:r><w:t>" + std::string(1024, 'x') + "</w:t></w:r>", n) +
                  "</w:p>");
          },
          6'000, 60'000, "one paragraph of 1 KiB runs (.docx)"}},
        {"docx-attributes",
         {"doc",
          [](std::size_t n) {
              return test::docxDocument(repeated(
                  "<w:p" + attributes(20'000, true) + "><w:r><w:t>t</w:t></w:r></w:p>", n));
          },
          2, 20, "paragraphs of 20,000 attributes each (.docx)"}},
        {"vcf-short-lines",
         {"vcf",
          [](std::size_t n) {
              return "BEGIN:VCARD\r\nFN:a\r\n" + repeated("NOTE:x\r\n", n) + "END:VCARD\r\n";
          },
          419'430, 4'194'304, "one card of short lines"}},
        {"vcf-many-cards",
         {"vcf", [](std::size_t n) { return repeated("BEGIN:VCARD\r\nFN:c\r\nEND:VCARD\r\n", n); },
          20'000, 200'000, "cards of a name each"}},
        {"vcf-empty-cards",
         {"vcf", [](std::size_t n) { return repeated("BEGIN:VCARD\r\nEND:VCARD\r\n", n); }, 200'000,
          2'000'000, "empty cards"}},
        {"vcf-qp-head",
         {"vcf",
          [](std::size_t n) {
              return "BEGIN:VCARD\r\nFN;ENCODING=QUOTED-PRINTABLE:" + repeated("=41=\r\n", n) +
                     "x\r\nEND:VCARD\r\n";
          },
          43'690, 436'906, "a quoted-printable value of soft line breaks"}},
        {"ics-one-line-properties",
         {"ics",
          [](std::size_t n) {
              return calendar("BEGIN:VEVENT\r\nUID:lines\r\nDTSTART:20240105T100000Z\r\n" +
                              repeated("COMMENT:c\r\nATTENDEE:mailto:a@b\r\nX-A:b\r\n"
                                       "RDATE:20240106T100000Z\r\n",
                                       n) +
                              "END:VEVENT\r\n");
          },
          39'000, 390'000, "one event of short property lines"}},
        {"ics-tiny-events",
         {"ics",
          [](std::size_t n) {
              return calendar(
                  repeated("BEGIN:VEVENT\r\nDTSTART:20240105T100000Z\r\nEND:VEVENT\r\n", n));
          },
          20'000, 200'000, "events of a start each"}},
        {"ics-shared-uid",
         {"ics",
          [](std::size_t n) {
              return calendar(
                  repeated("BEGIN:VEVENT\r\nUID:same\r\nDTSTART:20240108T150000Z\r\n"
                           "RRULE:FREQ=WEEKLY;COUNT=2\r\nEND:VEVENT\r\n"
                           "BEGIN:VEVENT\r\nUID:same\r\n"
                           "RECURRENCE-ID:20240115T150000Z\r\n"
                           "DTSTART:20240116T150000Z\r\nEND:VEVENT\r\n",
                           n));
          },
          4'000, 40'000, "series and changes sharing one UID"}},
        {"ics-minutely-zone",
         {"ics",
          [](std::size_t n) {
              std::string body;
              for (std::size_t i = 0; i < n; ++i) {
                  const auto id = std::to_string(i);
                  body += "BEGIN:VTIMEZONE\r\nTZID:Z" + id +
                          "\r\nBEGIN:STANDARD\r\nDTSTART:16010101T000000\r\n"
                          "TZOFFSETFROM:+0100\r\nTZOFFSETTO:+0100\r\nRRULE:FREQ=MINUTELY\r\n"
                          "END:STANDARD\r\nEND:VTIMEZONE\r\nBEGIN:VEVENT\r\nUID:e" +
                          id + "\r\nDTSTART;TZID=Z" + id + ":20240110T100000\r\nEND:VEVENT\r\n";
              }
              return calendar(body);
          },
          1'000, 10'000, "time zones changing every minute, an event in each"}},
        {"ics-many-exdate",
         {"ics",
          [](std::size_t n) {
              return calendar(
                  "BEGIN:VEVENT\r\nUID:daily\r\nDTSTART:20230101T100000Z\r\n"
                  "RRULE:FREQ=DAILY\r\n" +
                  repeated("EXDATE:20240315T100000Z\r\n", n) + "END:VEVENT\r\n");
          },
          40'000, 400'000, "one daily series of many EXDATE lines"}},
        {"ics-unended-events",
         {"ics",
          [](std::size_t n) {
              return calendar(
                  repeated("BEGIN:VEVENT\r\nDTSTART:20240105T100000Z\r\nBEGIN:VALARM\r\n", n));
          },
          20'000, 200'000, "events and alarms without their END"}},
        {"ics-cr-only-berlin",
         {"ics",
          [](std::size_t n) {
              return calendar(
                  repeated("BEGIN:VTIMEZONE\rTZID:Europe/Berlin\rBEGIN:STANDARD\r"
                           "DTSTART:20231029T030000\rTZOFFSETFROM:+0200\r"
                           "TZOFFSETTO:+0100\rEND:STANDARD\rEND:VTIMEZONE\r"
                           "BEGIN:VEVENT\rDTSTART;TZID=Europe/Berlin:20240105T100000\r"
                           "RRULE:FREQ=WEEKLY\rEND:VEVENT\r",
                           n));
          },
          1'000, 10'000, "CR-only lines: zones the database knows, a weekly event in each"}},
    };
    return all;
}

int read(std::string_view reader, const char* path) {
    std::string bytes;
    try {
        auto contents = readFileIfExists(path);
        if (!contents) {
            std::cerr << "reader_peak_memory: no file at " << path << "\n";
            return 1;
        }
        bytes = std::move(*contents);
        if (reader == "text") {
            auto text = decoding::unicodeText(bytes);
            if (!text) {
                text = decoding::detected(bytes);
            }
            std::cout << bytes.size() << " bytes read: " << (text ? text->size() : 0)
                      << " bytes of text\n";
        } else if (reader == "html") {
            const auto text = RichTextReader::htmlText(bytes);
            std::cout << bytes.size() << " bytes read: " << (text ? text->size() : 0)
                      << " bytes of text\n";
        } else if (reader == "doc") {
            const auto text = WordProcessorReader::documentText(bytes);
            std::cout << bytes.size() << " bytes read: " << (text ? text->size() : 0)
                      << " bytes of text\n";
        } else {
            std::size_t empty = 0;
            const auto cards = VCardParser::parse(bytes, path, &empty);
            std::cout << bytes.size() << " bytes read: " << cards.size() << " cards, " << empty
                      << " empty\n";
        }
    } catch (const std::exception& error) {
        std::cout << bytes.size() << " bytes read: refused: " << error.what() << "\n";
    }
    return 0;
}

// Reads the file on a thread of its own, requests a stop `afterMs` later, and reports how long
// the reader took to return after the request (or that it finished first).
int stopLatency(std::string_view reader, const char* path, long afterMs) {
    auto contents = readFileIfExists(path);
    if (!contents) {
        std::cerr << "reader_peak_memory: no file at " << path << "\n";
        return 1;
    }
    const std::string bytes = std::move(*contents);
    std::stop_source source;
    std::atomic<bool> done{false};
    std::chrono::steady_clock::time_point finished;
    std::string outcome = "finished";
    std::thread worker([&] {
        try {
            if (reader == "html") {
                (void)RichTextReader::htmlText(bytes, source.get_token());
            } else if (reader == "rtf") {
                (void)RichTextReader::rtfText(bytes, source.get_token());
            } else {
                (void)WordProcessorReader::documentText(bytes, WordProcessorReader::kMaxEntryBytes,
                                                        source.get_token());
            }
        } catch (const std::exception& error) {
            outcome = error.what();
        }
        finished = std::chrono::steady_clock::now();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    const auto requested = std::chrono::steady_clock::now();
    const bool finishedFirst = done.load();
    source.request_stop();
    worker.join();
    if (finishedFirst) {
        std::cout << "finished before the stop request: " << outcome << "\n";
    } else {
        const std::chrono::duration<double, std::milli> latency = finished - requested;
        std::cout << "stop honoured after " << latency.count() << " ms: " << outcome << "\n";
    }
    return 0;
}

struct Run {
    bool ok;
    double peakMiB;
    double seconds;
};

// Runs this program with `arguments` in a process of its own (its output discarded): the peak
// resident size the kernel reports for it, and the time it took.
Run spawn(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    static std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    argv.push_back(self.data());
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto started = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return {false, 0, 0};
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        return {false, 0, 0};
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0,
            static_cast<double>(usage.ru_maxrss) / 1024.0, took.count()};
}

int table(const std::filesystem::path& folder, std::string_view prefix) {
    std::filesystem::create_directories(folder);
    // What each reader's process holds before any input: its peak on an empty file.
    std::map<std::string, double> baseline;
    const auto empty = (folder / "empty").string();
    std::ofstream(empty, std::ios::binary).flush();
    for (const auto* reader : {"html", "doc", "vcf", "ics", "text"}) {
        baseline[reader] = spawn({reader, empty}).peakMiB;
    }
    std::filesystem::remove(empty);
    std::printf("| class | units | file | peak | growth | growth / file | time | MB/s |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const auto& [name, kind] : classes()) {
        if (!name.starts_with(prefix)) {
            continue;
        }
        for (const auto count : {kind.small, kind.large}) {
            const auto file = (folder / (name + "-" + std::to_string(count))).string();
            if (!spawn({"write-hostile", name, std::to_string(count), file}).ok) {
                std::printf("| %s | %zu | could not be written |\n", name.c_str(), count);
                continue;
            }
            const auto bytes = static_cast<double>(std::filesystem::file_size(file));
            const auto run = spawn({kind.reader, file});
            std::filesystem::remove(file);
            const auto fileMiB = bytes / (1024.0 * 1024.0);
            const auto growth = run.peakMiB - baseline[kind.reader];
            std::printf(
                "| `%s` (%s) | %zu | %.2f MiB | %.1f MiB | %.1f MiB | %.1fx | %.2f s | %.1f |%s\n",
                name.c_str(), kind.description, count, fileMiB, run.peakMiB, growth,
                growth / fileMiB, run.seconds, bytes / 1e6 / run.seconds,
                run.ok ? "" : " (failed)");
            std::fflush(stdout);
        }
    }
    return 0;
}

}  // namespace

std::optional<int> runHostileReaderCommand(int argc, char** argv) {
    const std::string_view command = argc >= 2 ? argv[1] : "";
    if (command == "hostile-table" && (argc == 3 || argc == 4)) {
        return table(argv[2], argc == 4 ? argv[3] : "");
    }
    if (command == "stop" && argc == 5) {
        return stopLatency(argv[2], argv[3], std::strtol(argv[4], nullptr, 10));
    }
    if ((command == "html" || command == "doc" || command == "vcf" || command == "text") &&
        argc == 3) {
        return read(command, argv[2]);
    }
    if (command == "write-hostile" && argc == 5) {
        const auto found = classes().find(std::string_view(argv[2]));
        if (found == classes().end()) {
            std::cerr << "reader_peak_memory: no class " << argv[2] << "; the classes are:";
            for (const auto& [name, kind] : classes()) {
                std::cerr << " " << name;
            }
            std::cerr << "\n";
            return 2;
        }
        const auto bytes = found->second.write(std::strtoull(argv[3], nullptr, 10));
        std::ofstream(argv[4], std::ios::binary) << bytes;
        std::cout << bytes.size() << " bytes written\n";
        return 0;
    }
    return std::nullopt;
}

}  // namespace vask::bench
