#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/landlock.h"
#include "platform/unique_fd.h"
#include "sources/page_png.h"

namespace vask {

// Draws the pages of one PDF into PNG images (as PdfDocument does) in a separate process, the
// drawing program installed beside the application, so that a page whose drawing would take
// gigabytes or minutes costs at most the limits given here: the process gets an address-space
// and a processor-time limit, its resident memory is watched, it has a deadline, and a stop
// request ends it at once. The document is handed over once, in an anonymous file that every
// page's process reads. The program confines itself before it parses the document
// (DrawerConfinement) and is given nothing but its input, its output and the environment
// variables it reads; it also counts the pages, so that no PDF is parsed in this process.
class PageDrawer {
  public:
    // The drawing program could not be run or the bytes are not a readable PDF.
    class Error : public vask::Error {
      public:
        explicit Error(const std::string& message) : vask::Error(message) {}
    };
    // The document is not a readable PDF (damaged, or locked by a password).
    class Unreadable : public Error {
      public:
        Unreadable() : Error("not a readable PDF") {}
    };
    // The drawing program cannot confine itself on this system, so no page is drawn here.
    class Unconfined : public Error {
      public:
        explicit Unconfined(const std::string& reason)
            : Error("pages are not drawn: the page drawing program could not be confined (" +
                    reason + ")"),
              reason_(reason) {}
        const std::string& reason() const { return reason_; }

      private:
        std::string reason_;
    };
    // What the drawers of one run know of this system: whether its kernel offers Landlock,
    // asked of the kernel itself (no drawer is started where it does not); the user is told
    // once. Only the kernel's answer decides it: whatever a drawer says of itself costs its own
    // document. Safe from any thread.
    class SystemRecord {
      public:
        // `kernelAbi` gives the Landlock ABI the kernel offers.
        explicit SystemRecord(std::function<int()> kernelAbi = kernelLandlockAbi);

        // The one record of this program, which every question of the run shares.
        static const std::shared_ptr<SystemRecord>& ofThisProgram();

        // Why no drawing program is started here, with the Landlock ABI capped at `abiCeiling`
        // (negative: no cap); nothing when one may be.
        std::optional<std::string> unconfinedReason(int abiCeiling) const;
        // True the first time it is asked only.
        bool tellOnce();

      private:
        std::function<int()> kernelAbi_;
        mutable std::mutex mutex_;
        bool told_ = false;
    };
    // A stop request ended the drawing.
    class Cancelled : public vask::Error {
      public:
        Cancelled() : vask::Error("page drawing was stopped") {}
    };

    // How the drawing program ends.
    enum class ExitStatus {
        drawn = 0,
        usage = 2,
        noSuchPage = 3,
        unreadable = 4,
        failed = 5,
        outOfMemory = 6,
        unconfined = 7,
    };

#if defined(__SANITIZE_THREAD__)
    static constexpr bool threadSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    static constexpr bool threadSanitizedBuild = true;
#else
    static constexpr bool threadSanitizedBuild = false;
#endif
#else
    static constexpr bool threadSanitizedBuild = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
    static constexpr bool sanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    static constexpr bool sanitizedBuild = true;
#else
    static constexpr bool sanitizedBuild = threadSanitizedBuild;
#endif
#else
    static constexpr bool sanitizedBuild = threadSanitizedBuild;
#endif
    // How many bytes of the drawing process's resident memory one byte of its own costs:
    // ThreadSanitizer keeps a shadow of what the process touches resident beside it (a 40 MiB
    // page held 630 MB there, 165 MB under AddressSanitizer), so its builds watch that multiple
    // of the page's memory limit.
    static constexpr std::uint64_t residentBytesPerByte = threadSanitizedBuild ? 5 : 1;
    // The variable that carries the options of this build's sanitizer runtime to the drawer.
    static constexpr const char* sanitizerOptionsVariable =
        threadSanitizedBuild ? "TSAN_OPTIONS" : "ASAN_OPTIONS";

    struct Options {
        // The drawing program; by default "vask-page-drawer" beside the running executable.
        std::filesystem::path program = besideExecutable();
        // The drawing process's address space and resident memory.
        std::uint64_t memoryLimitBytes = std::uint64_t{256} * 1024 * 1024;
        // Wall-clock time for one page; its processor time is limited to this, rounded up.
        std::chrono::milliseconds pageTimeBudget{4000};
        // Wall-clock time for drawing all the pages of the document together: a few seconds past
        // one page's, so that one slow page leaves time for a few quick ones while ten slow ones
        // cost no more than about two.
        std::chrono::milliseconds documentTimeBudget{7000};
        // Where the drawing program's environment is taken from: only what it reads (home and
        // XDG folders, fontconfig's variables, the locale, sanitizer options) is passed on.
        Environment environment = processEnvironment();
        // Caps the Landlock ABI the drawing program uses, so that tests take the paths of
        // older kernels; negative: the kernel's own.
        int landlockAbiCeiling = -1;
        // Shared by the drawers of one run (the application's questions share
        // SystemRecord::ofThisProgram()).
        std::shared_ptr<SystemRecord> system = std::make_shared<SystemRecord>();
        // Checks what the drawing program hands back for a page; its time is the document's
        // too. Tests stand in a slower one.
        std::function<PagePng::Check(std::string_view, std::stop_token)> checkPage =
            [](std::string_view bytes, std::stop_token stop) {
                return PagePng::check(bytes, std::move(stop));
            };
    };

    // A page drawn, not there, or refused with the reason, worded to follow "it"
    // ("needs more than 256 MiB of memory to draw"). When the document's drawing time has run
    // out, the reason is worded on its own ("drawing the document takes longer than 7 s") and
    // no later page will be drawn either.
    struct Page {
        std::optional<std::string> png;
        std::optional<std::string> refusal;
        bool documentTimeSpent = false;
        bool exists() const { return png.has_value() || refusal.has_value(); }
    };

    // Throws Error when the anonymous file cannot be made.
    PageDrawer(std::string_view pdfBytes, Options options);

    // The page at `index` (from 0); a page damaged beyond drawing is refused with the reason.
    // Throws Error when the drawing program cannot be run or the document is not a readable
    // PDF (Unconfined when the kernel offers no Landlock, without starting it; a drawer that
    // says it could not confine itself is an Error of this document only), and Cancelled. What the
    // program hands back is a page only when it is a whole PNG of a page within the page bound
    // (what it writes past the bound is refused before more is read), checked by PagePng::check:
    // every chunk intact and the image data exactly its rows, at a cost in proportion to them,
    // counted in the document's time; anything else refuses the page.
    Page draw(int index, std::stop_token stop = {}) const;

    // The number of pages, counted by the drawing program within the same limits (and from the
    // same document time) as a page. Throws Unreadable, Error (a count past the limits
    // included, with the reason) and Cancelled.
    int pageCount(std::stop_token stop = {}) const;

    // The environment the drawing program gets, from `environment`.
    static std::vector<std::string> programEnvironment(const Environment& environment,
                                                       int landlockAbiCeiling);

    static std::filesystem::path besideExecutable();

  private:
    // Runs the program for `what` (a page index or "count"); the answer is in `png`, checked
    // as a page when `page`.
    Page run(const std::string& what, bool page, std::stop_token stop) const;

    Options options_;
    UniqueFd document_;
    // The time the document's pages have taken to draw so far.
    mutable std::chrono::steady_clock::duration spent_{};
};

}  // namespace vask
