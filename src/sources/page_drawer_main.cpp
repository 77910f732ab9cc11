// vask-page-drawer: draws one page of a PDF into a PNG, or counts its pages, for PageDrawer, in a
// process of its own so that a page which needs too much memory or time ends only this process,
// and confined so that a PDF which takes poppler over reaches nothing of the user's.
//
//   vask-page-drawer MEMORY_BYTES CPU_SECONDS PAGE|count
//
// The PDF is read from standard input (a file, read from its start), the PNG (or the count, in
// decimal) written to standard output. The limits are set before the input is read, the
// confinement (DrawerConfinement) is put in place after it and before poppler parses it. Exit
// status: 0 drawn, 2 usage, 3 no such page, 4 not a readable PDF, 5 the page cannot be drawn
// (the reason, a line of text, on standard output), 6 out of memory (poppler's abort after a
// failed allocation included), 7 the process could not be confined (the reason on standard
// output). Past its processor time the process gets SIGXCPU (and SIGKILL a second later); a call
// outside what drawing needs ends it with SIGSYS.
#include "sources/page_drawer_program.h"

int main(int argc, char** argv) {
    return vask::PageDrawerProgram::run(argc, argv, true, vask::PageDrawerProgram::draw);
}
