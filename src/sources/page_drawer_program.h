#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vask {

// The start of the page drawing program (vask-page-drawer), shared by the program and by the
// stand-ins that tests and benchmarks run in its place:
//
//   vask-page-drawer MEMORY_BYTES CPU_SECONDS PAGE|count
//
// It goes with the process that started it, sets its limits, reads the PDF from standard input
// (a file, read from its start), confines itself (DrawerConfinement) unless told not to, and
// hands the bytes to `work`, whose return is its exit status (PageDrawer::ExitStatus). What it
// writes to standard output is the answer: a PNG, the page count, or the reason it failed.
struct PageDrawerProgram {
    // `what` is PAGE or "count" as given.
    using Work = std::function<int(std::string document, const std::string& what)>;

    static int run(int argc, char** argv, bool confine, const Work& work);

    // The drawing itself: a page drawn into a PNG, or the page count.
    static int draw(std::string document, const std::string& what);

    // Writes all of `bytes` to standard output; false when it could not.
    static bool answer(std::string_view bytes);

    // Why the program did not draw, when it says (exit status 5 or 7): one of these words alone on
    // standard output, never free text, so that nothing a page made the program write reaches
    // the page's note.
    struct Reason {
        std::string_view word;
        // What it means, worded as the drawing code words it.
        std::string_view text;
    };
    static const Reason emptyCropBox;
    static const Reason pageNotDrawn;
    static const Reason pngNotEncoded;
    static const Reason fontsNotLoaded;
    static const Reason unexpectedError;
    static const Reason noLandlock;
    static const Reason notConfined;
    // The reason `word` names; nothing for any other output.
    static std::optional<Reason> reasonNamed(std::string_view word);

    // The environment variable that caps the Landlock ABI the program uses (tests only; see
    // PageDrawer::Options).
    static constexpr const char* abiCeilingVariable = "VASK_PAGE_DRAWER_LANDLOCK_ABI";
};

}  // namespace vask
