#include "sources/file_access_service.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "folder_fixtures.h"
#include "image_fixture.h"
#include "pdf_fixture.h"
#include "platform/file_io.h"
#include "png_fixture.h"
#include "sources/corvane_vision_client.h"
#include "sources/png_encoder.h"
#include "store/sqlite_connection.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "zip_fixture.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

// Answers "text of <filename>" with a token cost of 10 per call; can fail on one call or for the
// model list.
class FakeVisionClient final : public VisionParserProviding {
  public:
    struct Call {
        std::string prompt;
        std::string data;
        std::string mimeType;
        std::string filename;
        std::optional<std::string> model;
    };

    VisionParseOutput parseMarkdown(std::string_view prompt, std::string_view fileData,
                                    std::string_view mimeType, std::string_view filename,
                                    const std::optional<std::string>& model,
                                    std::stop_token) const override {
        const std::lock_guard lock(mutex_);
        calls_.push_back({std::string(prompt), std::string(fileData), std::string(mimeType),
                          std::string(filename), model});
        if (onParse) {
            onParse();
        }
        if (failOnCall && calls_.size() == *failOnCall) {
            throw VisionClientError::requestFailed(500, "boom");
        }
        return {"  text of " + std::string(filename) + "\n", 10};
    }

    std::set<std::string> fetchVisionModels(std::stop_token) const override {
        const std::lock_guard lock(mutex_);
        ++modelFetches_;
        if (failModelFetches > 0) {
            --failModelFetches;
            throw VisionClientError::requestFailed(503, "");
        }
        return models;
    }

    std::vector<Call> calls() const {
        const std::lock_guard lock(mutex_);
        return calls_;
    }
    int modelFetches() const {
        const std::lock_guard lock(mutex_);
        return modelFetches_;
    }

    std::optional<std::size_t> failOnCall;
    // Called on every parse request, before it is answered.
    std::function<void()> onParse;
    mutable int failModelFetches = 0;
    std::set<std::string> models = {"vision-1"};

  private:
    mutable std::mutex mutex_;
    mutable std::vector<Call> calls_;
    mutable int modelFetches_ = 0;
};

class FileAccessServiceTest : public ::testing::Test {
  protected:
    FileAccessServiceTest() {
        fs::create_directories(home() / "Documents");
        fs::create_directories(home() / ".ssh");
    }

    fs::path home() const { return dir_ / "home"; }
    fs::path docs() const { return home() / "Documents"; }
    fs::path db() const { return dir_ / "shadow.db"; }

    FileAccessConfig config() const {
        FileAccessConfig config;
        config.allowedScopes = {"~/Documents"};
        config.excludedPatterns = {"~/.ssh/*", "**/node_modules/*"};
        return config;
    }

    FileAccessService::Options options() const {
        FileAccessService::Options options;
        options.search.commandPath = dir_ / "no-mdfind";
        options.environment = {{"HOME", home().string()}};
        options.pageDrawer.program = VASK_PAGE_DRAWER;
        // Ordinary pages take a good part of a second each in a sanitizer build on a busy
        // machine: budgets none misses. The cases about them meet them with drawers that wait.
        options.pageDrawer.pageTimeBudget = std::chrono::minutes(5);
        options.pageDrawer.documentTimeBudget = std::chrono::minutes(10);
        return options;
    }

    std::unique_ptr<FileAccessService> service(FileAccessConfig config,
                                               std::shared_ptr<FakeVisionClient> client) {
        return std::make_unique<FileAccessService>(db(), std::move(config), std::move(client),
                                                   options());
    }

    std::optional<FileCacheEntry> row(const fs::path& path) {
        ShadowDB shadow(db(), ShadowDB::OpenMode::readWrite);
        return shadow.fetchFileCache(path.string());
    }

    test::TempDir dir_;
};

TEST_F(FileAccessServiceTest, ScopeAndExclusionRules) {
    FileAccessConfig config;
    config.allowedScopes = {"/Users/u/Documents", "/Users/u/Top/"};
    config.excludedPatterns = {"**/node_modules/*", "~/.ssh/*"};
    auto options = this->options();
    options.environment = {{"HOME", "/Users/u"}};
    const FileAccessService service(db(), config, nullptr, options);
    struct Case {
        std::string path;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {"/Users/u/Documents", true},
        {"/Users/u/Documents/a.txt", true},
        {"/Users/u/DocumentsOld/a.txt", false},
        {"/Users/u/Documents/../Documents/a.txt", true},
        {"/Users/u/Documents/../Secrets/a.txt", false},
        {"/Users/u/Documents/proj/node_modules/x/y.js", false},
        {"/Users/u/Top/a.txt", true},
        {"/Users/u/.ssh/keys/id", false},
        {"relative/a.txt", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(service.isAllowed(c.path), c.allowed);
    }
    EXPECT_TRUE(service.isExcluded("/Users/u/.ssh/keys/id"));  // "*" also matches "/"
    EXPECT_FALSE(service.isExcluded("/Users/u/.sshkeys"));
}

TEST_F(FileAccessServiceTest, LinksIntoExcludedFoldersOrOutOfScopeAreNeverRead) {
    writeFileAtomically(home() / ".ssh" / "id_lease", "PRIVATE KEY lease");
    writeFileAtomically(dir_ / "elsewhere-lease.txt", "outside lease");
    fs::create_symlink(home() / ".ssh" / "id_lease", docs() / "lease-key.txt");
    fs::create_directory_symlink(home() / ".ssh", docs() / "lease-keys");
    fs::create_symlink(dir_ / "elsewhere-lease.txt", docs() / "lease-out.txt");
    writeFileAtomically(docs() / "lease.txt", "the lease");

    auto svc = service(config(), nullptr);
    for (const auto& link :
         {docs() / "lease-key.txt", docs() / "lease-keys" / "id_lease", docs() / "lease-out.txt"}) {
        SCOPED_TRACE(link);
        EXPECT_FALSE(svc->isAllowed(link.string()));
    }
    test::LogCapture logs;
    EXPECT_EQ(svc->prefetch("lease"), 1);
    EXPECT_TRUE(row(docs() / "lease.txt").has_value());
    for (const auto& record : logs->records()) {
        EXPECT_EQ(record.message.find("id_lease"), std::string::npos) << record.message;
        EXPECT_EQ(record.message.find("lease-out"), std::string::npos) << record.message;
    }
}

TEST_F(FileAccessServiceTest, ExclusionsFollowLinkedFoldersToWhereTheyLead) {
    // A dotfile manager's layout: ~/.ssh is a link into ~/dotfiles, and the whole home is allowed.
    fs::remove_all(home() / ".ssh");
    test::writeFileCreatingFolders(home() / "dotfiles" / "ssh" / "id_lease", "PRIVATE KEY lease");
    test::writeFileCreatingFolders(home() / "dotfiles" / "private" / "lease-notes.txt",
                                   "secret lease");
    test::writeFileCreatingFolders(home() / "dotfiles" / "lease-readme.txt", "public lease");
    fs::create_directory_symlink(home() / "dotfiles" / "ssh", home() / ".ssh");
    fs::create_directory_symlink(home(), dir_ / "linked-home");
    auto config = this->config();
    config.allowedScopes = {"~"};
    config.excludedPatterns = {"~/.ssh/*",
                               (dir_ / "linked-home" / "dotfiles" / "private").string() + "/*"};

    auto svc = service(config, nullptr);
    for (const auto& path : {home() / "dotfiles" / "ssh" / "id_lease", home() / ".ssh" / "id_lease",
                             home() / "dotfiles" / "private" / "lease-notes.txt"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(svc->isAllowed(path.string()));
    }
    EXPECT_EQ(svc->prefetch("lease"), 1);
    EXPECT_TRUE(row(home() / "dotfiles" / "lease-readme.txt").has_value());
}

TEST_F(FileAccessServiceTest, AFolderSwappedForALinkNeverLeaksOutsideFiles) {
    test::writeFileCreatingFolders(dir_ / "outside" / "lease.txt", "outside lease");
    const auto folder = docs() / "box";
    const auto link = docs() / "box-link";
    test::writeFileCreatingFolders(folder / "lease.txt", "inside lease");
    fs::create_directory_symlink(dir_ / "outside", link);
    auto svc = service(config(), nullptr);
    std::atomic<bool> done{false};
    // Exchanges the folder and a link out of the allowed folders, as fast as it can: the folder
    // is always one or the other.
    std::thread swapper([&] {
        while (!done) {
            ::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
        }
    });
    for (int i = 0; i < 300; ++i) {
        svc->prefetch("lease");
        if (const auto stored = row(folder / "lease.txt")) {
            ASSERT_EQ(stored->contentMarkdown, "inside lease") << "try " << i;
        }
    }
    done = true;
    swapper.join();
}

TEST_F(FileAccessServiceTest, EachFileTypeTakesItsParsePath) {
    struct Case {
        std::string name;
        std::string contents;
        std::string method;  // empty: nothing stored
        std::string content;
        std::string loggedEvent;
    };
    const std::vector<Case> cases = {
        {"plan.txt", "lease plan\n", "direct", "lease plan\n", ""},
        {"tool.py", "# lease\nprint(1)", "direct", "# lease\nprint(1)", ""},
        {"latin.txt",
         "lease: le caf\xE9 \xE9tait ferm\xE9 le dimanche, mais la boulangerie \xE0 c\xF4t\xE9 "
         "restait ouverte pour les habitu\xE9s.",
         "direct-fallback", "", "file_text_decode_fallback"},
        {"lease.rtf", R"({\rtf1\ansi Lease terms\par end})", "text-extraction", "Lease terms\nend",
         ""},
        {"lease.html", "<html><body><p>Lease</p></body></html>", "text-extraction", "Lease", ""},
        // A page is HTML by its name, whatever its first tag.
        {"lease-meta.html", "<meta charset=\"utf-8\"><title>T</title><div>Lease</div>",
         "text-extraction", "Lease", ""},
        {"lease-script.htm", "<script>var lease = 1;</script><p>Lease &check;</p>",
         "text-extraction", "Lease \xE2\x9C\x93", ""},
        {"lease-utf16.txt", std::string("\xFF\xFEL\0e\0a\0s\0e\0", 12), "direct", "Lease", ""},
        {"lease-jis.txt", "\x1B$B$3$s$K$A$O\x1B(B lease", "direct-fallback",
         "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF lease",
         "file_text_decode_fallback"},
        {"lease.docx",
         test::docxDocument("<w:p><w:r><w:t>Lease</w:t></w:r></w:p><w:p><w:r>"
                            "<w:t>terms</w:t></w:r></w:p>"),
         "text-extraction", "Lease\n\nterms", ""},
        {"lease.odt", test::odtDocument("<text:h>Lease</text:h><text:p>terms</text:p>"),
         "text-extraction", "Lease\n\nterms", ""},
        {"lease-broken.docx", test::zipArchive({{"word/document.xml", "<w:document>"}}), "", "",
         "file_prefetch_failed"},
        {"lease.doc", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), "", "",
         "file_prefetch_failed"},
        {"lease.bin", std::string("\x00\x01lease", 7), "", "", "file_prefetch_failed"},
        {"README-lease", "Lease notes\n\tsecond line\r\n", "direct",
         "Lease notes\n\tsecond line\r\n", ""},
        {"lease.rst", "Lease\n=====\n", "direct", "Lease\n=====\n", ""},
        {"lease.conf", "rent = 1200\n", "direct", "rent = 1200\n", ""},
        {"lease.tex", "\\section{Lease} caf\xE9 cr\xE8me pour les coll\xE8gues du bureau", "direct",
         "", ""},
        {"lease.dat", std::string("lease\x01\x02\x03", 8), "", "", "file_prefetch_failed"},
        {"lease-renamed.doc", "plain words\n", "direct", "plain words\n", ""},
        {"lease.pdf", test::minimalPdf(1), "", "", "file_prefetch_skipped"},
        {"lease.png", "\x89PNG", "", "", "file_prefetch_skipped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir scratch;
        fs::create_directories(docs());
        for (const auto& entry : fs::directory_iterator(docs())) {
            fs::remove_all(entry.path());
        }
        writeFileAtomically(docs() / c.name, c.contents);
        auto config = this->config();
        config.useVision = FileVisionMode::disabled;
        test::LogCapture logs;
        const auto cached = service(config, nullptr)->prefetch("lease");
        const auto stored = row(docs() / c.name);
        if (c.method.empty()) {
            EXPECT_EQ(cached, 0);
            EXPECT_FALSE(stored.has_value());
        } else {
            ASSERT_TRUE(stored.has_value());
            EXPECT_EQ(cached, 1);
            EXPECT_EQ(stored->parseMethod, c.method);
            EXPECT_EQ(stored->parseModel, "local");
            EXPECT_EQ(stored->pageCount, 0);
            EXPECT_EQ(stored->tokenCost, 0);
            EXPECT_EQ(stored->fileHash.size(), 64U);
            if (!c.content.empty()) {
                EXPECT_EQ(stored->contentMarkdown, c.content);
            } else {
                EXPECT_NE(stored->contentMarkdown.find("caf\xC3\xA9"), std::string::npos);
            }
        }
        if (!c.loggedEvent.empty()) {
            EXPECT_TRUE(logs->contains(c.loggedEvent));
        }
    }
}

TEST_F(FileAccessServiceTest, PdfPagesGoThroughVisionUpToTheLimit) {
    struct Case {
        int pages;
        std::int64_t maxPages;
        std::size_t sent;
    };
    const std::vector<Case> cases = {{25, 10, 10}, {3, 10, 3}, {4, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.pages) + " pages, limit " + std::to_string(c.maxPages));
        fs::remove(db());
        writeFileAtomically(docs() / "report.pdf", test::minimalPdf(c.pages));
        auto client = std::make_shared<FakeVisionClient>();
        auto config = this->config();
        config.maxPages = c.maxPages;
        config.visionModel = "vision-1";
        EXPECT_EQ(service(config, client)->prefetch("report"), 1);

        const auto calls = client->calls();
        ASSERT_EQ(calls.size(), c.sent);
        EXPECT_EQ(calls[0].filename, "report.pdf-page-1.png");
        EXPECT_EQ(calls[0].mimeType, "image/png");
        EXPECT_EQ(calls[0].prompt, FileAccessService::visionPrompt);
        EXPECT_EQ(calls[0].model, "vision-1");
        EXPECT_EQ(test::pngSize(calls[0].data), (std::pair<int, int>{1546, 2000}));

        const auto stored = row(docs() / "report.pdf");
        ASSERT_TRUE(stored.has_value());
        std::string expected;
        for (std::size_t i = 1; i <= c.sent; ++i) {
            if (i > 1) {
                expected += "\n\n---\n\n";
            }
            expected += "## Page " + std::to_string(i) + "\n\ntext of report.pdf-page-" +
                        std::to_string(i) + ".png";
        }
        EXPECT_EQ(stored->contentMarkdown, expected);
        EXPECT_EQ(stored->parseMethod, "vision");
        EXPECT_EQ(stored->parseModel, "vision-1");
        EXPECT_EQ(stored->pageCount, c.pages);
        EXPECT_EQ(stored->tokenCost, static_cast<std::int32_t>(10 * c.sent));
    }
}

TEST_F(FileAccessServiceTest, APageTooCostlyToDrawIsNamedAndTheOthersAreRead) {
    std::string saves;
    for (int i = 0; i < 1'000'000; ++i) {
        saves += "q\n";
    }
    const auto stream = [](const std::string& content) {
        return "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
               "\nendstream";
    };
    const auto page = [](int contents) {
        return "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents " +
               std::to_string(contents) + " 0 R >>";
    };
    writeFileAtomically(
        docs() / "report.pdf",
        sample::pdfFromObjects({"<< /Type /Catalog /Pages 2 0 R >>",
                                "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>", page(5), page(6),
                                stream(saves), stream("0 0 0 rg 10 10 100 100 re f")}));
    auto client = std::make_shared<FakeVisionClient>();
    auto options = this->options();
    options.pageDrawer.memoryLimitBytes = std::uint64_t{192} * 1024 * 1024;
    test::LogCapture logs;
    FileAccessService svc(db(), config(), client, options);
    EXPECT_EQ(svc.prefetch("report"), 1);

    ASSERT_EQ(client->calls().size(), 1U);
    EXPECT_EQ(client->calls()[0].filename, "report.pdf-page-2.png");
    const auto stored = row(docs() / "report.pdf");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->contentMarkdown,
              "## Page 1\n\nThis page was not read: it needs more than 192 MiB of memory to "
              "draw.\n\n---\n\n## Page 2\n\ntext of report.pdf-page-2.png");
    const auto refused = logs->events("file_page_refused");
    ASSERT_EQ(refused.size(), 1U);
    EXPECT_EQ(refused[0].metadata.at("page"), "1");
}

// A PDF whose pages each draw `contents` (by place: 0 a blank page, 1 one small square) over
// the given boxes.
std::string pagesPdf(const std::vector<std::pair<int, std::string>>& pages) {
    const auto stream = [](const std::string& content) {
        return "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
               "\nendstream";
    };
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
    std::string kids;
    const auto firstContent = 3 + static_cast<int>(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) {
        kids += std::to_string(3 + i) + " 0 R ";
        objects.push_back("<< /Type /Page /Parent 2 0 R " + pages[i].second + " /Contents " +
                          std::to_string(firstContent + pages[i].first) + " 0 R >>");
    }
    objects[1] =
        "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
    objects.push_back(stream(""));
    objects.push_back(stream("0 0 0 rg 10 10 100 100 re f"));
    return sample::pdfFromObjects(objects);
}

// A page the drawer cannot draw, and pages past their own drawing time, then past the
// document's. The slow pages are a stand-in drawer's that wait, so that each takes its whole
// limit; its first page has the document's time less one page's (3 s) to be drawn in.
TEST_F(FileAccessServiceTest, PagesPastTheirBoundsAreNamedAndTheRestKept) {
    const std::uint8_t pixel[3] = {};
    writeFileAtomically(dir_ / "page.png", PngEncoder::encodeRGB(pixel, 1, 1, 3).value());
    const auto standIn = dir_ / "stand-in-drawer";
    std::ofstream(standIn) << "#!/bin/sh\ncase \"$3\" in count) echo 5 ;; 1|2|3) exec sleep 600 "
                              ";; *) cat '"
                           << (dir_ / "page.png").string() << "' ;; esac\n";
    fs::permissions(standIn, fs::perms::owner_all);
    const std::string media = "/MediaBox [0 0 612 792]";
    struct Case {
        std::string name;
        std::string pdf;
        std::optional<fs::path> standIn;
        std::int32_t pages;
        std::vector<std::string> sent;
        std::string markdown;
        std::string event;
        std::string pagesNamed;
    };
    const std::vector<Case> cases = {
        {"a page with an empty crop box",
         pagesPdf({{1, media}, {1, media + " /CropBox [700 800 900 1000]"}, {1, media}}),
         std::nullopt,
         3,
         {"report.pdf-page-1.png", "report.pdf-page-3.png"},
         "## Page 1\n\ntext of report.pdf-page-1.png\n\n---\n\n## Page 2\n\nThis page was not "
         "read: it cannot be drawn (page has an empty crop box).\n\n---\n\n## Page 3\n\ntext "
         "of report.pdf-page-3.png",
         "file_page_refused",
         "2"},
        {"slow pages past the document's drawing time",
         "%PDF-1.4 five pages for the stand-in",
         standIn,
         5,
         {"report.pdf-page-1.png"},
         "## Page 1\n\ntext of report.pdf-page-1.png\n\n---\n\n## Page 2\n\nThis page was not "
         "read: it takes longer than 5 s to draw.\n\n---\n\n## Pages 3 to 5\n\nThese pages "
         "were not read: drawing the document takes longer than 8 s.",
         "file_pages_not_drawn",
         "3-5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(db());
        writeFileAtomically(docs() / "report.pdf", c.pdf);
        auto client = std::make_shared<FakeVisionClient>();
        auto options = this->options();
        if (c.standIn) {
            options.pageDrawer.program = *c.standIn;
            options.pageDrawer.pageTimeBudget = std::chrono::seconds(5);
            options.pageDrawer.documentTimeBudget = std::chrono::seconds(8);
        }
        test::LogCapture logs;
        FileAccessService svc(db(), config(), client, options);
        EXPECT_EQ(svc.prefetch("report"), 1);

        std::vector<std::string> sent;
        for (const auto& call : client->calls()) {
            sent.push_back(call.filename);
        }
        EXPECT_EQ(sent, c.sent);
        const auto stored = row(docs() / "report.pdf");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->contentMarkdown, c.markdown);
        EXPECT_EQ(stored->pageCount, c.pages);
        const auto named = logs->events(c.event);
        ASSERT_EQ(named.size(), 1U);
        EXPECT_EQ(named[0].metadata.at(c.event == "file_page_refused" ? "page" : "pages"),
                  c.pagesNamed);
    }
}

TEST_F(FileAccessServiceTest, AFailedPageStoresNothingAndKeepsTheOldRow) {
    writeFileAtomically(docs() / "report.pdf", test::minimalPdf(5));
    auto first = std::make_shared<FakeVisionClient>();
    ASSERT_EQ(service(config(), first)->prefetch("report"), 1);
    const auto before = row(docs() / "report.pdf");

    writeFileAtomically(docs() / "report.pdf", test::minimalPdf(6));
    auto failing = std::make_shared<FakeVisionClient>();
    failing->failOnCall = 3;
    test::LogCapture logs;
    EXPECT_EQ(service(config(), failing)->prefetch("report"), 0);
    EXPECT_EQ(row(docs() / "report.pdf"), before);
    const auto failed = logs->events("file_prefetch_failed");
    ASSERT_EQ(failed.size(), 1U);
    EXPECT_EQ(failed[0].metadata.at("error"), "Corvane request failed (status 500): boom");
    EXPECT_EQ(before->parseModel, "tier_default");
}

TEST_F(FileAccessServiceTest, DamagedPdfIsUnreadableAndImagesGoAsTheyAre) {
    writeFileAtomically(docs() / "broken-scan.pdf", "%PDF-1.4 garbage");
    writeFileAtomically(docs() / "scan-photo.jpg", "\xFF\xD8jpegbytes");
    writeFileAtomically(docs() / "scan-anim.gif", "GIF89a");
    auto client = std::make_shared<FakeVisionClient>();
    test::LogCapture logs;
    EXPECT_EQ(service(config(), client)->prefetch("scan"), 2);
    const auto failed = logs->events("file_prefetch_failed");
    ASSERT_EQ(failed.size(), 1U);
    EXPECT_EQ(failed[0].metadata.at("error"), "File could not be read");

    std::map<std::string, std::string> mimeByName;
    for (const auto& call : client->calls()) {
        mimeByName[call.filename] = call.mimeType;
    }
    EXPECT_EQ(mimeByName, (std::map<std::string, std::string>{{"scan-anim.gif", "image/gif"},
                                                              {"scan-photo.jpg", "image/jpeg"}}));
    const auto image = row(docs() / "scan-photo.jpg");
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->contentMarkdown, "  text of scan-photo.jpg\n");  // not trimmed
    EXPECT_EQ(image->pageCount, 1);
}

// No PDF is parsed in this process: whether a PDF opens and how many pages it has come from
// the drawing program, within its limits and confinement. A stand-in program that counts seven
// pages in bytes poppler could not open makes seven pages; one that cannot be run fails the
// file rather than letting it be read another way.
TEST_F(FileAccessServiceTest, APdfIsOpenedAndCountedOnlyByTheDrawingProgram) {
    writeFileAtomically(docs() / "report.pdf", "%PDF-1.4 nothing poppler could open");
    const auto standIn = dir_ / "stand-in-drawer";
    // A page is a PNG, whole: one of a pixel.
    const std::uint8_t pixel[3] = {};
    writeFileAtomically(dir_ / "page.png", PngEncoder::encodeRGB(pixel, 1, 1, 3).value());
    std::ofstream(standIn) << "#!/bin/sh\ncase \"$3\" in count) echo 7 ;; *) cat '"
                           << (dir_ / "page.png").string() << "' ;; esac\n";
    fs::permissions(standIn, fs::perms::owner_all);
    auto config = this->config();
    config.maxPages = 2;
    auto options = this->options();
    options.pageDrawer.program = standIn;
    auto client = std::make_shared<FakeVisionClient>();
    EXPECT_EQ(FileAccessService(db(), config, client, options).prefetch("report"), 1);
    EXPECT_EQ(client->calls().size(), 2U);
    ASSERT_TRUE(row(docs() / "report.pdf").has_value());
    EXPECT_EQ(row(docs() / "report.pdf")->pageCount, 7);

    writeFileAtomically(docs() / "report.pdf", "%PDF-1.4 changed, still nothing to open");
    options.pageDrawer.program = dir_ / "no-drawer";
    test::LogCapture logs;
    EXPECT_EQ(FileAccessService(db(), config, client, options).prefetch("report"), 0);
    const auto failed = logs->events("file_prefetch_failed");
    ASSERT_EQ(failed.size(), 1U);
    EXPECT_NE(failed[0].metadata.at("error").find("could not be started"), std::string::npos);
    EXPECT_EQ(client->calls().size(), 2U);
    EXPECT_EQ(row(docs() / "report.pdf")->pageCount, 7);
}

// Without Landlock no page is drawn. The first PDF of a run says so in its text, where the
// answer reads it, stored without the file's hash so that a later run reads it again; no drawer
// is started again in the run, and later PDFs fail with the reason in the log.
TEST_F(FileAccessServiceTest, WithoutLandlockTheUserIsToldOnceAndNoDrawerRunsAgain) {
    writeFileAtomically(docs() / "report-a.pdf", test::minimalPdf(1));
    writeFileAtomically(docs() / "report-b.pdf", test::minimalPdf(1));
    auto options = this->options();
    options.pageDrawer.landlockAbiCeiling = 0;
    auto client = std::make_shared<FakeVisionClient>();
    const std::string notDrawn =
        "pages are not drawn: the page drawing program could not be confined (this system's "
        "kernel offers no Landlock, without which the page drawing program cannot keep a PDF "
        "from reading the user's files)";
    {
        test::LogCapture logs;
        EXPECT_EQ(FileAccessService(db(), config(), client, options).prefetch("report"), 1);
        const auto failed = logs->events("file_prefetch_failed");
        ASSERT_EQ(failed.size(), 1U);
        EXPECT_EQ(failed[0].metadata.at("error"), notDrawn);
    }
    std::vector<FileCacheEntry> told;
    for (const auto* name : {"report-a.pdf", "report-b.pdf"}) {
        if (auto entry = row(docs() / name)) {
            told.push_back(*entry);
        }
    }
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(told[0].contentMarkdown,
              "The pages of this PDF were not read: pages are not drawn on this system, where the "
              "page drawing program could not be confined (this system's kernel offers no "
              "Landlock, without which the page drawing program cannot keep a PDF from reading "
              "the user's files).");
    EXPECT_EQ(told[0].fileHash, "");

    // The next question of the run starts no drawer (one that is not there is never looked for)
    // and tells nothing again.
    options.pageDrawer.program = dir_ / "no-drawer";
    test::LogCapture logs;
    EXPECT_EQ(FileAccessService(db(), config(), client, options).prefetch("report"), 0);
    const auto failed = logs->events("file_prefetch_failed");
    ASSERT_EQ(failed.size(), 2U);
    for (const auto& failure : failed) {
        EXPECT_EQ(failure.metadata.at("error"), notDrawn);
    }
    EXPECT_TRUE(client->calls().empty());
}

TEST_F(FileAccessServiceTest, ImagesThatDecodeAreSentAsPng) {
    const test::TwoTone picture{8, 8, {250, 0, 0}, {0, 0, 250}};
    const std::map<std::string, std::string> files = {
        {"scan-a.webp", test::webpImage(picture)},
        {"scan-b.tiff", test::tiffImage(picture, dir_ / "scratch.tif")},
        {"scan-c.gif", test::gifImage(picture, dir_ / "scratch.gif")},
        {"scan-d.heic",
         readFileIfExists(fs::path(VASK_SOURCES_TEST_DATA) / "two-tone.heic").value_or("")},
        {"scan-e.png", "\x89PNG\r\n\x1a\nnot decoded"},
        {"scan-f.bmp", "BMnot an image"},
    };
    for (const auto& [name, bytes] : files) {
        writeFileAtomically(docs() / name, bytes);
    }
    auto client = std::make_shared<FakeVisionClient>();
    auto config = this->config();
    config.maxFiles = 10;
    EXPECT_EQ(service(config, client)->prefetch("scan"), 6);
    std::map<std::string, std::string> sent;
    for (const auto& call : client->calls()) {
        const bool isPng = test::decodePng(call.data).has_value();
        sent[call.filename] = call.mimeType + (isPng ? " decodable" : "");
    }
    EXPECT_EQ(sent, (std::map<std::string, std::string>{{"scan-a.webp", "image/png decodable"},
                                                        {"scan-b.tiff", "image/png decodable"},
                                                        {"scan-c.gif", "image/png decodable"},
                                                        {"scan-d.heic", "image/png decodable"},
                                                        {"scan-e.png", "image/png"},
                                                        {"scan-f.bmp", "image/bmp"}}));
}

TEST_F(FileAccessServiceTest, SecondPrefetchOfUnchangedFilesIsACacheHit) {
    writeFileAtomically(docs() / "lease.txt", "lease v1");
    writeFileAtomically(docs() / "lease.pdf", test::minimalPdf(2));
    auto client = std::make_shared<FakeVisionClient>();
    auto svc = service(config(), client);
    EXPECT_EQ(svc->prefetch("lease"), 2);
    test::LogCapture logs;
    EXPECT_EQ(svc->prefetch("lease"), 0);
    EXPECT_EQ(logs->events("file_cache_hit").size(), 2U);
    EXPECT_EQ(client->calls().size(), 2U);  // the PDF's two pages, once

    writeFileAtomically(docs() / "lease.txt", "lease v2");
    EXPECT_EQ(svc->prefetch("lease"), 1);
    EXPECT_EQ(row(docs() / "lease.txt")->contentMarkdown, "lease v2");

    // A row with empty text is parsed again even though the hash matches.
    auto emptied = *row(docs() / "lease.txt");
    emptied.contentMarkdown.clear();
    ShadowDB(db()).upsertFileCache(emptied);
    EXPECT_EQ(svc->prefetch("lease"), 1);
}

TEST_F(FileAccessServiceTest, ConcurrentPrefetchesParseEachFileOnce) {
    for (int i = 0; i < 4; ++i) {
        writeFileAtomically(docs() / ("lease-" + std::to_string(i) + ".pdf"), test::minimalPdf(1));
    }
    auto client = std::make_shared<FakeVisionClient>();
    auto svc = service(config(), client);
    std::atomic<std::int64_t> total = 0;
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 3; ++i) {
            threads.emplace_back([&] { total += svc->prefetch("lease"); });
        }
    }
    EXPECT_EQ(total.load(), 4);
    EXPECT_EQ(client->calls().size(), 4U);
}

TEST_F(FileAccessServiceTest, EmptyQueriesScopesAndLimits) {
    writeFileAtomically(docs() / "lease.txt", "x");
    {
        test::LogCapture logs;
        EXPECT_EQ(service(config(), nullptr)->prefetch(" \n\t "), 0);
        EXPECT_TRUE(logs->records().empty());
    }
    {
        auto config = this->config();
        config.allowedScopes = {"~/Missing"};
        test::LogCapture logs;
        EXPECT_EQ(service(config, nullptr)->prefetch("lease"), 0);
        EXPECT_TRUE(logs->contains("file_prefetch_empty"));
    }
    {
        auto config = this->config();
        config.maxFiles = 0;
        test::LogCapture logs;
        EXPECT_EQ(service(config, nullptr)->prefetch("lease"), 0);
        EXPECT_TRUE(logs->contains("file_prefetch_empty"));
    }
    {
        writeFileAtomically(docs() / "lease-2.txt", "x");
        writeFileAtomically(docs() / "lease-3.txt", "x");
        auto config = this->config();
        config.maxFiles = 5;
        test::LogCapture logs;
        EXPECT_EQ(service(config, nullptr)->prefetch("lease"), 3);
        const auto completed = logs->events("file_prefetch_completed");
        ASSERT_EQ(completed.size(), 1U);
        EXPECT_EQ(completed[0].metadata.at("candidates"), "3");
        EXPECT_EQ(completed[0].message,
                  "file_prefetch_completed query=lease candidates=3 cached=3");
    }
}

TEST_F(FileAccessServiceTest, NewestFilesComeFirstAndOnlyMaxFilesAreParsed) {
    const auto now = fs::file_time_type::clock::now();
    writeFileAtomically(docs() / "lease-old.txt", "x");
    writeFileAtomically(docs() / "lease-new.txt", "x");
    fs::last_write_time(docs() / "lease-old.txt", now - std::chrono::hours(48));
    fs::last_write_time(docs() / "lease-new.txt", now);
    auto config = this->config();
    config.maxFiles = 1;
    auto svc = service(config, nullptr);
    const auto found = svc->findFiles("lease");
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0].name, "lease-new.txt");
    EXPECT_EQ(found[0].kind, "plain text document");
    EXPECT_EQ(found[0].size, 1);
    EXPECT_EQ(svc->prefetch("lease"), 1);
    EXPECT_TRUE(row(docs() / "lease-new.txt").has_value());
    EXPECT_FALSE(row(docs() / "lease-old.txt").has_value());
}

TEST_F(FileAccessServiceTest, BetterMatchesComeFirstAndDatesBreakTies) {
    const auto now = fs::file_time_type::clock::now();
    struct File {
        const char* name;
        const char* contents;
        int hoursOld;
    };
    // "what did the" in every file would make them all match equally without the stop words.
    const std::vector<File> files = {
        {"a.txt", "what did the landlord say", 1},
        {"lease-pets.txt", "what did the landlord say", 72},
        {"b.txt", "what did the lease say", 48},
        {"c.txt", "what did the lease say", 2},
        {"d.txt", "what did the note say", 0},
    };
    for (const auto& file : files) {
        writeFileAtomically(docs() / file.name, file.contents);
        fs::last_write_time(docs() / file.name, now - std::chrono::hours(file.hoursOld));
    }
    std::vector<std::string> names;
    for (const auto& candidate : service(config(), nullptr)->findFiles("what did the lease pets")) {
        names.push_back(candidate.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"lease-pets.txt", "c.txt", "b.txt"}));
}

TEST_F(FileAccessServiceTest, FilesAboveTheSizeCapAreSkippedAndLogged) {
    writeFileAtomically(docs() / "lease-big.txt", std::string(4096, 'a'));
    writeFileAtomically(docs() / "lease-small.txt", "ok");
    auto options = this->options();
    options.maxFileBytes = 1024;
    FileAccessService svc(db(), config(), nullptr, options);
    test::LogCapture logs;
    EXPECT_EQ(svc.prefetch("lease"), 1);
    const auto skipped = logs->events("file_prefetch_skipped");
    ASSERT_EQ(skipped.size(), 1U);
    EXPECT_EQ(skipped[0].metadata.at("reason"), "too_large");
    EXPECT_FALSE(row(docs() / "lease-big.txt").has_value());
}

TEST_F(FileAccessServiceTest, VisionEligibilityFollowsTheModelList) {
    writeFileAtomically(docs() / "lease.pdf", test::minimalPdf(1));
    struct Case {
        std::string name;
        std::optional<std::string> model;
        FileVisionMode mode;
        bool client;
        int failFetches;
        std::int64_t cached;
        std::string event;
    };
    const std::vector<Case> cases = {
        {"no model: the plan's default", std::nullopt, FileVisionMode::automatic, true, 0, 1, ""},
        {"listed model", "vision-1", FileVisionMode::enabled, true, 0, 1,
         "vision_model_check_fetched"},
        {"unlisted model", "text-only", FileVisionMode::automatic, true, 0, 0,
         "vision_check_model_not_supported"},
        {"disabled", std::nullopt, FileVisionMode::disabled, true, 0, 0, "vision_check_disabled"},
        {"no client", std::nullopt, FileVisionMode::automatic, false, 0, 0,
         "vision_check_no_client"},
        {"list fails", "vision-1", FileVisionMode::automatic, true, 1, 0,
         "vision_model_list_failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(db());
        auto client = c.client ? std::make_shared<FakeVisionClient>() : nullptr;
        if (client) {
            client->failModelFetches = c.failFetches;
        }
        auto config = this->config();
        config.visionModel = c.model;
        config.useVision = c.mode;
        test::LogCapture logs;
        EXPECT_EQ(service(config, client)->prefetch("lease"), c.cached);
        if (!c.event.empty()) {
            EXPECT_TRUE(logs->contains(c.event));
        }
        if (c.cached == 0) {
            EXPECT_TRUE(logs->contains("file_prefetch_vision_unavailable"));
            EXPECT_TRUE(logs->contains("file_prefetch_skipped"));
        }
        if (client && !c.model) {
            EXPECT_EQ(client->modelFetches(), 0);
        }
    }
}

TEST_F(FileAccessServiceTest, FailedModelListIsFetchedAgainAndASuccessIsKept) {
    writeFileAtomically(docs() / "lease.pdf", test::minimalPdf(1));
    auto client = std::make_shared<FakeVisionClient>();
    client->failModelFetches = 1;
    auto config = this->config();
    config.visionModel = "vision-1";
    auto svc = service(config, client);
    EXPECT_EQ(svc->prefetch("lease"), 0);
    EXPECT_EQ(svc->prefetch("lease"), 1);
    test::LogCapture logs;
    writeFileAtomically(docs() / "lease.pdf", test::minimalPdf(2));
    EXPECT_EQ(svc->prefetch("lease"), 1);
    EXPECT_EQ(client->modelFetches(), 2);
    EXPECT_TRUE(logs->contains("vision_model_check_cached"));
}

TEST_F(FileAccessServiceTest, CancelledPrefetchStillReportsCompletion) {
    for (const auto* name : {"lease-1.png", "lease-2.png", "lease-3.png"}) {
        writeFileAtomically(docs() / name, "\x89PNG");
    }
    // The stop comes while a file is parsed: that file is still stored, no later one is tried.
    for (const std::int64_t stopOnCall : {1, 2}) {
        SCOPED_TRACE(stopOnCall);
        const auto cached = stopOnCall;
        fs::remove(db());
        std::stop_source stop;
        auto client = std::make_shared<FakeVisionClient>();
        client->onParse = [&, calls = std::int64_t{0}]() mutable {
            if (++calls == stopOnCall) {
                stop.request_stop();
            }
        };
        test::LogCapture logs;
        EXPECT_EQ(service(config(), client)->prefetch("lease", stop.get_token()), cached);
        EXPECT_EQ(client->calls().size(), static_cast<std::size_t>(cached));
        const auto completed = logs->events("file_prefetch_completed");
        ASSERT_EQ(completed.size(), 1U);
        EXPECT_EQ(completed[0].metadata.at("cached"), std::to_string(cached));
        EXPECT_EQ(completed[0].metadata.at("candidates"), "3");
        int stored = 0;
        for (const auto* name : {"lease-1.png", "lease-2.png", "lease-3.png"}) {
            stored += row(docs() / name).has_value() ? 1 : 0;
        }
        EXPECT_EQ(stored, cached);
    }
}

// A read that a stop cut short (the drawer killed, the request cancelled) is a stop, not a
// failure of that file: it is logged as stopped and nothing after it is tried.
TEST_F(FileAccessServiceTest, AReadCutShortByAStopIsNoFailure) {
    for (const auto* name : {"lease-1.png", "lease-2.png"}) {
        writeFileAtomically(docs() / name, "\x89PNG");
    }
    std::stop_source stop;
    auto client = std::make_shared<FakeVisionClient>();
    client->onParse = [&] { stop.request_stop(); };
    client->failOnCall = 1;
    test::LogCapture logs;
    EXPECT_EQ(service(config(), client)->prefetch("lease", stop.get_token()), 0);
    EXPECT_EQ(client->calls().size(), 1U);
    EXPECT_FALSE(logs->contains("file_prefetch_failed"));
    const auto stopped = logs->events("file_prefetch_stopped");
    ASSERT_EQ(stopped.size(), 1U);
    EXPECT_NE(stopped[0].metadata.at("path").find("lease-"), std::string::npos);
    EXPECT_EQ(logs->events("file_prefetch_completed").size(), 1U);
}

TEST_F(FileAccessServiceTest, CredentialsChooseTheVisionClient) {
    struct Case {
        std::optional<std::string> apiKey;
        std::optional<std::string> token;
        // The credential the client was made with, "" for none; the token wins over the key.
        std::optional<std::string> expectedKey;
        std::optional<std::string> expectedToken;
        bool client;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt, false},
        {" \n", " ", std::nullopt, std::nullopt, false},
        {" key\n", std::nullopt, "key", std::nullopt, true},
        {std::nullopt, "tok", std::nullopt, "tok", true},
        {" ", " tok ", std::nullopt, "tok", true},
        {"key", "  ", "key", std::nullopt, true},
        {"key", "tok", std::nullopt, "tok", true},
    };
    const auto base = *Url::parse("http://127.0.0.1:9");
    const HttpClient http;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.apiKey.value_or("-") + "/" + c.token.value_or("-"));
        const FileAccessService svc(db(), c.apiKey, c.token, config(), base, http, options());
        ASSERT_EQ(svc.hasVisionClient(), c.client);
        if (!c.client) {
            continue;
        }
        const auto* client = dynamic_cast<const CorvaneVisionClient*>(svc.visionClient().get());
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(client->apiKey(), c.expectedKey);
        EXPECT_EQ(client->customerToken(), c.expectedToken);
    }
    EXPECT_THROW(
        FileAccessService(dir_ / "missing" / "dir" / "shadow.db", config(), nullptr, options()),
        ShadowDB::Error);
}

}  // namespace
}  // namespace vask
