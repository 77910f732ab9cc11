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
    static constexpr Reason emptyCropBox{"empty-crop-box", "page has an empty crop box"};
    static constexpr Reason pageNotDrawn{"page-not-drawn", "page could not be drawn"};
    static constexpr Reason pngNotEncoded{"png-not-encoded", "PNG encoding failed"};
    static constexpr Reason fontsNotLoaded{"fonts-not-loaded", "fontconfig could not be loaded"};
    static constexpr Reason unexpectedError{"unexpected-error",
                                            "the drawing program met an unexpected error"};
    static constexpr Reason noLandlock{
        "no-landlock",
        "this system's kernel offers no Landlock, without which the page drawing program cannot "
        "keep a PDF from reading the user's files"};
    static constexpr Reason notConfined{"not-confined",
                                        "the confinement could not be put in place"};
    // The reason `word` names; nothing for any other output. (Inline: Vask reads the words
    // without linking the drawing code.)
    static std::optional<Reason> reasonNamed(std::string_view word) {
        for (const auto& reason : {emptyCropBox, pageNotDrawn, pngNotEncoded, fontsNotLoaded,
                                   unexpectedError, noLandlock, notConfined}) {
            if (reason.word == word) {
                return reason;
            }
        }
        return std::nullopt;
    }

    // The environment variable that caps the Landlock ABI the program uses (tests only; see
    // PageDrawer::Options).
    static constexpr const char* abiCeilingVariable = "VASK_PAGE_DRAWER_LANDLOCK_ABI";
};

}  // namespace vask
